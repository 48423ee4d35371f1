#pragma once

struct UpdateInfo;

// What the workflow asks of the update run. Every trait owns its own UpdateInfo record.
struct UpdateTrait {
    UpdateTrait();
    virtual ~UpdateTrait();
    UpdateTrait(const UpdateTrait&) = delete;
    UpdateTrait& operator=(const UpdateTrait&) = delete;

    virtual int startUpdate();
    virtual int progress(int code, int value);

    UpdateInfo* updateInfo;
};

UpdateTrait& defaultUpdateTrait();
