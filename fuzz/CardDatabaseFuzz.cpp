#include "detection/CardDatabase.h"
#include "detection/Nw.h"
#include "platform/OsVersion.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>

namespace {

// Every message is formatted and handed over; its text must be a terminated string.
void countCharacters(const wchar_t* text, void* context) {
    *static_cast<size_t*>(context) += std::wcslen(text);
}

} // namespace

// Loads arbitrary bytes as a card database, on the system type the first byte chooses, and
// reads back every record.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const platform::OsVersion systems[] = {
        {platform::kPlatformNt, 4, 0, 1381},         {platform::kPlatformWindows9x, 4, 10, 2222},
        {platform::kPlatformWindows9x, 4, 90, 3000}, {platform::kPlatformNt, 5, 0, 2195},
        {platform::kPlatformNt, 5, 1, 2600},         {platform::kPlatformNt, 6, 0, 6002},
        {platform::kPlatformNt, 6, 1, 7601},
    };
    size_t characters = 0;
    NwSetLogCallback(countCharacters, &characters);
    NwSetLogLevel(1);
    platform::overrideOsVersion(systems[size > 0 ? data[0] % 7 : 6]);
    detection::ReleaseCardDb();
    if (detection::ReadCardDb(reinterpret_cast<const char*>(data), size) != 0)
        std::abort();
    const int count = detection::CardCount();
    if (count < 0 || count > detection::kMaxCardRecords)
        std::abort();
    for (int i = 0; i < count; ++i) {
        const detection::CardInfoRecord& record = detection::CardRecord(i);
        characters += record.name.size() + record.hardwareIds.size();
        if (record.modemNames)
            characters += record.modemNames->size();
    }
    detection::GetGenericEntryIndex();
    detection::ReleaseCardDb();
    NwSetLogCallback(nullptr, nullptr);
    return characters == static_cast<size_t>(-1);
}
