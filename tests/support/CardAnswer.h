#pragma once

#include <chrono>
#include <string>

namespace testsupport {

// Whether `text` holds a card's final result code.
inline bool hasFinalResultCode(const std::string& text) {
    return text.find("OK\r\n") != std::string::npos || text.find("ERROR\r\n") != std::string::npos;
}

// The card's answer up to its final result code, for up to `limit` of real time: one read may
// bring only the echo on a loaded machine. What came within the bound when no final code did.
// `readPiece(std::string&)` reads once, giving what came (maybe nothing), and returns false when
// the port fails; `reads`, when given, counts the reads that brought something.
template <class ReadPiece>
std::string readCardAnswer(ReadPiece readPiece, std::chrono::milliseconds limit,
                           int* reads = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string answer;
    std::string piece;
    int count = 0;
    while (!hasFinalResultCode(answer) && std::chrono::steady_clock::now() < deadline &&
           readPiece(piece)) {
        if (piece.empty())
            continue;
        ++count;
        answer += piece;
    }
    if (reads != nullptr)
        *reads = count;
    return answer;
}

} // namespace testsupport
