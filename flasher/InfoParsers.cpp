#include "flasher/InfoParsers.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace flasher {

namespace {

constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A terminated copy of the text, bounded by `size` and by its first zero byte.
std::string boundedText(const char* text, size_t size) {
    if (text == nullptr)
        return std::string();
    const void* end = std::memchr(text, '\0', size);
    const size_t length = end != nullptr ? static_cast<const char*>(end) - text : size;
    return std::string(text, length);
}

template <size_t N> void copyField(char (&field)[N], const char* text, size_t length) {
    const size_t copied = length < N - 1 ? length : N - 1;
    std::memcpy(field, text, copied);
    field[copied] = '\0';
}

template <size_t N> void copyField(char (&field)[N], const char* text) {
    copyField(field, text, std::strlen(text));
}

} // namespace

int parseIdentity(const char* data, size_t size, FfInfoRecord& record) {
    const std::string text = boundedText(data, size);
    const char* start = std::strstr(text.c_str(), "Manufacturer:");
    if (start == nullptr)
        return kParseNotFound;

    char manufacturer[100] = {};
    char model[100] = {};
    char revision[100] = {};
    char date[100] = {};
    char time[100] = {};
    char lineEnd[100] = {};
    std::sscanf(start,
                "Manufacturer: %99[^\r]%99[\r\n]Model: %99[^\r]%99[\r\n]Revision: %99[^ ] (Date: "
                "%99[^,], Time: %99[^)]",
                manufacturer, lineEnd, model, lineEnd, revision, date, time);

    const char* close = std::strchr(start, ')');
    if (close != nullptr)
        copyField(record.description, start, static_cast<size_t>(close - start) + 1);
    else
        record.description[0] = '\0';
    copyField(record.version, revision);
    copyField(record.model, model);
    record.lmCode[0] = '\0';

    // A cut date or time gives the values in front of the cut; the others stay as they were.
    char month[100] = {};
    int day = 0;
    int year = 0;
    const int dateValues = std::sscanf(date, "%99s %d %d", month, &day, &year);
    if (dateValues >= 2)
        record.day = day;
    if (dateValues >= 3)
        record.year = year;
    for (int index = 0; index < 12; ++index) {
        if (std::strcmp(month, kMonthNames[index]) == 0)
            record.month = index + 1;
    }
    int hour = 0;
    int minute = 0;
    int second = 0;
    const int timeValues = std::sscanf(time, "%d:%d:%d", &hour, &minute, &second);
    if (timeValues >= 1)
        record.hour = hour;
    if (timeValues >= 2)
        record.minute = minute;
    if (timeValues >= 3)
        record.second = second;
    return kParseOk;
}

int parseSoftwareVersion(const char* data, size_t size, FfInfoRecord& record) {
    const std::string text = boundedText(data, size);
    const char* start = std::strstr(text.c_str(), "_VISOV:");
    if (start == nullptr)
        return kParseNotFound;
    // Without a version after the tag the field keeps what it held.
    char version[sizeof record.version] = {};
    if (std::sscanf(start, "_VISOV: %127[^\n\r]", version) == 1)
        copyField(record.version, version);
    return kParseOk;
}

int parseLmCode(const char* data, size_t size, FfInfoRecord& record) {
    const std::string text = boundedText(data, size);
    const char* start = std::strstr(text.c_str(), "_VLMC: ");
    if (start == nullptr)
        return kParseNotFound;
    char code[sizeof record.lmCode] = {};
    if (std::sscanf(start, "_VLMC:  %31[^\r\n]", code) == 1)
        copyField(record.lmCode, code);
    return kParseOk;
}

} // namespace flasher
