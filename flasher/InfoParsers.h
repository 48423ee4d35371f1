#pragma once

#include "flasher/Ff.h"

#include <cstddef>

// Parsers of the information texts that devices answer and packages carry. They read only the
// given text: up to its first zero byte or `size` bytes, whichever comes first.
namespace flasher {

constexpr int kParseOk = 0;
constexpr int kParseNotFound = 1;

// The "ATI" text: description, version (revision word), model and time stamp; clears the LM
// code. 1 without "Manufacturer:".
int parseIdentity(const char* text, size_t size, FfInfoRecord& record);
// "_VISOV:" and the software version into the version field.
int parseSoftwareVersion(const char* text, size_t size, FfInfoRecord& record);
// "_VLMC: " and the product code into the LM code field.
int parseLmCode(const char* text, size_t size, FfInfoRecord& record);

} // namespace flasher
