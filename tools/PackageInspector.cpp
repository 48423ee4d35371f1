#include "tools/PackageInspector.h"

#include "flasher/PackageImageList.h"
#include "flasher/PackageReader.h"
#include "flasher/WrappedImage.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace tools {
namespace {

using flasher::readLittleEndian16;
using flasher::readLittleEndian32;

constexpr uint32_t kFirmwareBlockMagic = 0x1CE70100;
constexpr size_t kFirmwareBlockSize = 12;
constexpr size_t kContentPreview = 400;

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// Printable form of bytes: C escapes for control characters.
std::string escaped(const uint8_t* bytes, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char c = bytes[i];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (std::isprint(c))
            out.push_back(static_cast<char>(c));
        else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", c);
            out += code;
        }
    }
    return out;
}

// Inflates a zlib stream to count its content and keep its first bytes.
bool inflateStream(const uint8_t* stream, size_t length, std::string& preview, size_t& inflated,
                   std::string& problem) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) {
        problem = "zlib initialisation failed";
        return false;
    }
    std::vector<uint8_t> chunk(65536);
    zs.next_in = const_cast<Bytef*>(stream);
    zs.avail_in = static_cast<uInt>(length);
    inflated = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        zs.next_out = chunk.data();
        zs.avail_out = static_cast<uInt>(chunk.size());
        result = inflate(&zs, Z_NO_FLUSH);
        const size_t produced = chunk.size() - zs.avail_out;
        for (size_t i = 0; i < produced && preview.size() < kContentPreview; ++i) {
            if (inflated + i == preview.size() && chunk[i] != 0)
                preview.push_back(static_cast<char>(chunk[i]));
        }
        inflated += produced;
        if (result == Z_BUF_ERROR && zs.avail_in == 0)
            break;
    }
    const size_t used = length - zs.avail_in;
    inflateEnd(&zs);
    if (result != Z_STREAM_END) {
        problem = "zlib stream is damaged or truncated";
        return false;
    }
    if (used != length) {
        problem = "zlib stream ends " + std::to_string(length - used) + " bytes early";
        return false;
    }
    return true;
}

// The firmware layout inside a payload: block, zlib stream, CRC, tail.
bool inspectFirmwarePayload(const uint8_t* payload, size_t size, const std::string& fileName,
                            std::ostream& out, std::string& fault) {
    if (size < kFirmwareBlockSize || readLittleEndian32(payload) != kFirmwareBlockMagic)
        return true; // another payload layout: opaque
    const uint32_t blockLength = readLittleEndian32(payload + 4);
    const uint32_t streamLength = readLittleEndian32(payload + 8);
    out << "    firmware block: length " << blockLength << ", zlib stream " << streamLength
        << " bytes\n";
    if (blockLength != kFirmwareBlockSize) {
        fault = "firmware block length " + std::to_string(blockLength) + " is not 12";
        return false;
    }
    if (streamLength > size - kFirmwareBlockSize || size - kFirmwareBlockSize - streamLength < 4) {
        fault = "zlib stream length points past the payload";
        return false;
    }
    const uint8_t* stream = payload + kFirmwareBlockSize;
    std::string preview, problem;
    size_t inflated = 0;
    if (!inflateStream(stream, streamLength, preview, inflated, problem)) {
        fault = problem;
        return false;
    }
    const uint32_t crc = static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), stream, streamLength));
    const uint32_t stored = readLittleEndian32(stream + streamLength);
    const size_t tail = size - kFirmwareBlockSize - streamLength - 4;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08X", stored);
    out << "    zlib content: " << inflated << " bytes, text \""
        << escaped(reinterpret_cast<const uint8_t*>(preview.data()), preview.size()) << "\"\n";
    out << "    stream CRC-32: " << hex(crc) << ", stored " << hex(stored) << " (" << digits
        << "), tail " << tail << " bytes\n";
    if (crc != stored) {
        fault = "stored stream CRC-32 " + hex(stored) + " differs from computed " + hex(crc);
        return false;
    }
    if (!fileName.empty() &&
        fileName.find(std::string(".zlib.") + digits + ".") == std::string::npos) {
        fault = "file name does not carry the stream CRC-32 " + std::string(digits);
        return false;
    }
    return true;
}

bool inspectImage(const uint8_t* data, size_t length, const std::string& fileName,
                  const std::string& indent, std::ostream& out, std::string& fault) {
    flasher::WrappedHeader header;
    const int parsed = flasher::parseWrappedHeader(data, length, header);
    out << indent << "wrapped image: " << length << " bytes\n";
    if (parsed == flasher::kWrappedHeaderUnknownMagic || length < 4) {
        fault = "unknown wrapped image magic";
        return false;
    }
    out << indent << "  magic " << hex(header.magic) << ", header length " << header.headerLength
        << ", payload size " << header.payloadSize << "\n";
    out << indent << "  word 12 " << hex(header.word12) << ", kind word " << hex(header.kind)
        << " (kind " << flasher::imageKind(header) << "), word 20 " << hex(header.word20)
        << ", word 24 " << hex(header.word24) << "\n";
    if (parsed == flasher::kWrappedHeaderTruncated) {
        fault = "wrapped header truncated";
        return false;
    }
    out << indent << "  header checksum: "
        << (parsed == flasher::kWrappedHeaderOk ? "words XOR to 0" : "wrong") << "\n";
    if (parsed == flasher::kWrappedHeaderBadChecksum) {
        fault = "wrapped header checksum wrong";
        return false;
    }
    if (static_cast<uint64_t>(header.headerLength) + header.payloadSize != length) {
        fault = "header length + payload size (" +
                std::to_string(static_cast<uint64_t>(header.headerLength) + header.payloadSize) +
                ") differs from the image length " + std::to_string(length);
        return false;
    }
    out << indent << "  trailer " << hex(readLittleEndian32(data + length - 4)) << "\n";
    return inspectFirmwarePayload(data + header.headerLength, header.payloadSize, fileName, out,
                                  fault);
}

void printFileHeader(const flasher::PackageFileHeader& file, std::ostream& out) {
    out << "    file header length " << file.headerLength << ", name \"" << file.name << "\", type "
        << file.fileType << ", tag \"" << file.tag << "\"\n";
    out << "    data size " << file.dataSize << ", check type " << file.checkType << ", word 628 "
        << file.word628 << ", data checksum " << hex(file.dataChecksum) << ", reserved "
        << file.reserved1 << "/" << file.reserved2 << "/" << file.reserved3 << ", word 640 "
        << hex(file.word640) << "\n";
}

// The file header's fields against the entry, then the data checksum.
bool checkFileHeader(const flasher::PackageFileHeader& file, const uint8_t* content, uint32_t size,
                     const std::string& where, std::ostream& out, std::string& fault) {
    if (file.headerLength != flasher::kPackageFileHeaderLength) {
        fault = where + ": file header length " + std::to_string(file.headerLength) + " is not 644";
        return false;
    }
    if (static_cast<uint64_t>(file.dataSize) + flasher::kPackageFileHeaderLength != size) {
        fault =
            where + ": payload size differs from 644 + data size " + std::to_string(file.dataSize);
        return false;
    }
    if (file.checkType != 0) {
        fault = where + ": check type " + std::to_string(file.checkType) + " not supported";
        return false;
    }
    const uint32_t dataSum = flasher::xorBytes(content, file.dataSize);
    out << "    data checksum computed " << hex(dataSum) << "\n";
    if (dataSum != file.dataChecksum) {
        fault = where + ": data checksum " + hex(file.dataChecksum) + " differs from computed " +
                hex(dataSum);
        return false;
    }
    return true;
}

bool inspectFileEntry(const uint8_t* payload, uint32_t size, const std::string& where,
                      std::ostream& out, std::string& fault) {
    if (size < flasher::kPackageFileHeaderLength) {
        fault = where + ": file header truncated";
        return false;
    }
    const uint8_t* cursor = payload;
    flasher::PackageFileHeader file;
    flasher::PackageEntryHeader entryHeader;
    entryHeader.type = flasher::kEntryTypeFile;
    entryHeader.payloadSize = size;
    const uint8_t* fileData = nullptr;
    // The library's reader decodes the fields; the checks below name the fault.
    flasher::readFileEntry(cursor, payload + size, entryHeader, file, fileData);
    printFileHeader(file, out);
    const uint8_t* content = payload + flasher::kPackageFileHeaderLength;
    if (!checkFileHeader(file, content, size, where, out, fault))
        return false;
    if (flasher::isImageFileType(file.fileType) && file.dataSize > 0) {
        std::string imageFault;
        if (!inspectImage(content, file.dataSize, file.name, "    ", out, imageFault)) {
            fault = where + ": " + imageFault;
            return false;
        }
    } else if (file.fileType == flasher::kFileTypeScript ||
               file.fileType == flasher::kFileTypeSoftwareText) {
        out << "    text: \"" << escaped(content, file.dataSize) << "\"\n";
    }
    return true;
}

// One entry at `offset`: its header, its payload checksum, then its content by type. On
// success `offset` points past the entry.
bool inspectEntry(const uint8_t* data, size_t length, int index, size_t& offset, std::ostream& out,
                  std::string& fault) {
    const std::string where =
        "entry " + std::to_string(index) + " at offset " + std::to_string(offset);
    if (length - offset < flasher::kPackageEntryHeaderLength) {
        fault = where + ": entry header truncated";
        return false;
    }
    const uint8_t* entry = data + offset;
    const uint16_t type = readLittleEndian16(entry);
    const uint16_t reserved = readLittleEndian16(entry + 2);
    const uint32_t size = readLittleEndian32(entry + 4);
    const uint32_t checksum = readLittleEndian32(entry + 8);
    out << "  " << where << ": type " << type << ", reserved " << reserved << ", payload size "
        << size << ", checksum " << hex(checksum) << "\n";
    offset += flasher::kPackageEntryHeaderLength;
    if (size > length - offset) {
        fault = where + ": payload size " + std::to_string(size) + " points past the end (" +
                std::to_string(length - offset) + " bytes left)";
        return false;
    }
    const uint8_t* payload = data + offset;
    const uint32_t computed = flasher::xorBytes(payload, size);
    out << "    payload checksum computed " << hex(computed) << "\n";
    if (computed != checksum) {
        fault =
            where + ": entry checksum " + hex(checksum) + " differs from computed " + hex(computed);
        return false;
    }
    if (type == flasher::kEntryTypeInformation) {
        out << "    information text (" << size << " bytes): \"" << escaped(payload, size)
            << "\"\n";
    } else if (type == flasher::kEntryTypeFile) {
        if (!inspectFileEntry(payload, size, where, out, fault))
            return false;
    } else {
        fault = where + ": unknown entry type " + std::to_string(type);
        return false;
    }
    offset += size;
    return true;
}

bool inspectPackage(const uint8_t* data, size_t length, std::ostream& out, std::string& fault) {
    if (length < flasher::kPackageMainHeaderLength) {
        fault = "main header truncated";
        return false;
    }
    out << "package: " << length << " bytes\n";
    out << "  magic \"" << flasher::kPackageMagic << "\", tool version "
        << int(data[flasher::kPackageMagicLength]) << "."
        << int(data[flasher::kPackageMagicLength + 1]) << ", chip-set family "
        << hex(data[flasher::kPackageMagicLength + 2]) << "\n";
    size_t offset = flasher::kPackageMainHeaderLength;
    int index = 0;
    while (offset < length) {
        ++index;
        if (!inspectEntry(data, length, index, offset, out, fault))
            return false;
    }
    out << "  " << index << " entries, ending at offset " << offset << "\n";
    return true;
}

} // namespace

bool inspect(const uint8_t* data, size_t length, std::ostream& out, std::string& fault) {
    fault.clear();
    if (flasher::hasPackageMagic(data, length))
        return inspectPackage(data, length, out, fault);
    return inspectImage(data, length, "", "", out, fault);
}

} // namespace tools
