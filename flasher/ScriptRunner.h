#pragma once

// Runs a customisation script: an XML text whose `mode` elements bring the device into a mode
// and whose `at_cmd` elements send one AT command each. A run stops after a mode change (the
// device re-enumerates); the next run skips the events already handled and goes on from there.

#include "flasher/Ff.h"
#include "flasher/FfLogger.h"

#include <cstddef>
#include <cstdint>

namespace flasher {

constexpr size_t kScriptModeNameSize = 64;
constexpr size_t kScriptCommandSize = 128;

class ScriptRunner : public FfLogger {
public:
    enum State : int32_t {
        kNone = 0,
        kAfterComment = 1,
        kInMode = 2,
        kAfterMode = 3,
        kInCommand = 4,
        kAfterCommand = 5,
        kInOther = 6,
        kAfterOther = 7,
    };

    // 0 when the script ran to its end; 0x10000003 after a mode change (call again to resume);
    // 0x20000062 or 0x20000063 when a command or a mode change failed.
    FfResult run(const char* script, size_t length, const wchar_t* applicationPath,
                 const wchar_t* diagnosticPath);

    // Called by the XML parser for each event.
    void handleEvent(void* node, int event);
    void reportParseError(const char* message);

private:
    void openElement(const char* name);
    void closeElement(const char* name);
    void textWord(const char* word, bool whitespaceBefore);
    void finishMode();
    void finishCommand();
    void stop(FfResult result);

    State state_ = kNone;
    char modeName_[kScriptModeNameSize] = {};
    char command_[kScriptCommandSize] = {};
    bool stopped_ = false;
    const wchar_t* applicationPath_ = nullptr;
    const wchar_t* diagnosticPath_ = nullptr;
};

// Mode number of a script mode name, any letter case: modem 0, loader 1, factory_test 2, else 4.
int32_t scriptModeNumber(const char* name);

} // namespace flasher
