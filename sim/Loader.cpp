#include "sim/Loader.h"

#include <zlib.h>

#include <cctype>
#include <cstring>
#include <optional>
#include <sstream>

namespace cardsim {

namespace {

constexpr uint8_t kFrameStart = 0xAA;
constexpr uint8_t kStartDownload = 0x73;
constexpr uint8_t kDataFrame = 0x00;
constexpr uint8_t kAccepted = 0x01;
constexpr uint8_t kSendAgain = 0x09;
constexpr uint8_t kTransmissionTimeout = 0x0A;
constexpr uint8_t kTooBig = 0x0B;
// Line noise: a byte that starts no frame.
constexpr uint8_t kStrayByte = 0x00;
// A noisy card stops after this many stray bytes, more than the updater reads of one answer.
constexpr int kNoiseByteLimit = 256;
constexpr size_t kWrappedHeaderMinimum = 12;
// A StartDownload header longer than this is not a header.
constexpr uint32_t kWrappedHeaderMaximum = 4096;
constexpr uint32_t kFirmwareBlockMagic = 0x1CE70100;
constexpr size_t kFirmwareBlockSize = 12;
constexpr char kOk[] = "\r\nOK\r\n";
constexpr char kError[] = "\r\nERROR\r\n";
constexpr char kLoadCommand[] = "AT%LOAD";
constexpr char kProgramCommand[] = "AT%PROG=2";
// The text the card reports when the received image fails its integrity check.
constexpr char kDamagedImageText[] = "ARCH RSA Authentication Failed";
// Settings a customisation script sends after flashing; the card accepts them.
constexpr const char* kCustomisationPrefixes[] = {"AT+CFUN=", "AT_VHSPACAT=", "AT+CGDCONT="};

uint32_t readWord(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

uint16_t xor16(const uint8_t* data, size_t size) {
    uint16_t sum = 0;
    size_t i = 0;
    for (; i + 1 < size; i += 2)
        sum ^= static_cast<uint16_t>(data[i] | (data[i + 1] << 8));
    if (i < size)
        sum ^= data[i];
    return sum;
}

bool checksumHolds(const std::vector<uint8_t>& frame, size_t length) {
    const uint16_t stored = static_cast<uint16_t>(frame[length - 2] | (frame[length - 1] << 8));
    return xor16(frame.data(), length - 2) == stored;
}

bool inflateAll(const uint8_t* stream, size_t length, std::string& content) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return false;
    zs.next_in = const_cast<Bytef*>(stream);
    zs.avail_in = static_cast<uInt>(length);
    std::vector<char> chunk(64 * 1024);
    int result = Z_OK;
    while (result == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(chunk.data());
        zs.avail_out = static_cast<uInt>(chunk.size());
        result = inflate(&zs, Z_NO_FLUSH);
        content.append(chunk.data(), chunk.size() - zs.avail_out);
        if (result == Z_BUF_ERROR)
            break;
    }
    inflateEnd(&zs);
    return result == Z_STREAM_END;
}

} // namespace

struct Loader::Session {
    std::vector<uint8_t> pending;
    std::vector<uint8_t> image;
    bool started = false;
    uint16_t blockSize = 0;
    size_t position = 0;
    int block = 0; // the data block being received, 1-based
    int blockRejections = 0;
    int startRejections = 0;
    bool silent = false;
    // Stray bytes still to send while the card is noisy.
    int noiseLeft = 0;
    // An answer is on its way (throughput limit); frames wait for it.
    bool answering = false;
};

Loader::Loader(CardSimulator& card, LoaderOptions options)
    : card_(card), options_(std::move(options)) {
    card_.addCommandHandler(
        [this](CardSimulator& card, Port port, const std::string&, const std::string& upper) {
            return command(card, port, upper);
        });
}

Loader::~Loader() = default;

LoaderRecord Loader::record() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return record_;
}

void Loader::setFaults(const LoaderFaults& faults) {
    std::lock_guard<std::mutex> guard(mutex_);
    options_.faults = faults;
}

LoaderFaults Loader::currentFaults() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return options_.faults;
}

bool Loader::command(CardSimulator& card, Port port, const std::string& upper) {
    for (const char* prefix : kCustomisationPrefixes) {
        if (upper.rfind(prefix, 0) == 0) {
            card.reply(port, kOk);
            return true;
        }
    }
    if (upper == kLoadCommand) {
        if (port != Port::diagnostic || card.state().mode != 1) {
            card.reply(port, kError);
            return true;
        }
        session_ = std::make_unique<Session>();
        {
            std::lock_guard<std::mutex> guard(mutex_);
            record_.imageComplete = false;
            record_.imageBytes = 0;
            record_.blockSizes.clear();
            record_.acceptedBlocks = 0;
        }
        card.reply(port, kOk);
        card.setRawReceiver(port, [this](CardSimulator& owner, Port from, const uint8_t* data,
                                         size_t size) { receive(owner, from, data, size); });
        return true;
    }
    if (upper == kProgramCommand) {
        if (port != Port::diagnostic || !session_ || session_->image.empty() ||
            session_->position < session_->image.size()) {
            card.reply(port, kError);
            return true;
        }
        program(card, port);
        return true;
    }
    return false;
}

void Loader::receive(CardSimulator& card, Port port, const uint8_t* data, size_t size) {
    if (!session_)
        return;
    if (hostLeftTheDownload(data, size)) {
        // Between frames a line of AT text means the host gave the download up (it was
        // interrupted or restarted): the block protocol ends and the text is a command again.
        session_.reset();
        card.setRawReceiver(port, nullptr);
        card.feed(port, data, size);
        return;
    }
    session_->pending.insert(session_->pending.end(), data, data + size);
    // A frame handler may end the session (reset, unplug): check it before every frame.
    while (session_ && !session_->silent && !session_->answering) {
        std::vector<uint8_t>& pending = session_->pending;
        // Bytes before a frame start are line noise.
        size_t skip = 0;
        while (skip < pending.size() && pending[skip] != kFrameStart)
            ++skip;
        pending.erase(pending.begin(), pending.begin() + skip);
        const bool progressed =
            session_->started ? takeDataFrame(card, port) : takeStartDownload(card, port);
        if (!progressed)
            return;
    }
}

bool Loader::hostLeftTheDownload(const uint8_t* data, size_t size) const {
    return session_->pending.empty() && !session_->answering && size >= 2 &&
           std::toupper(data[0]) == 'A' && std::toupper(data[1]) == 'T';
}

// A StartDownload frame: its header and what the header asks for.
struct Loader::StartDownloadRequest {
    size_t length = 0;
    bool sound = false;
    uint16_t blockSize = 0;
    uint64_t payloadSize = 0;
    std::vector<uint8_t> header;
};

// How the next data frame is laid out: the image bytes it carries, padded to an even count.
struct Loader::DataFrameLayout {
    size_t count = 0;
    size_t data = 0;
    size_t length = 0;
};

bool Loader::takeStartDownload(CardSimulator& card, Port port) {
    Session& session = *session_;
    std::vector<uint8_t>& frame = session.pending;
    if (frame.size() < 4 + kWrappedHeaderMinimum)
        return false;
    if (frame[1] != kStartDownload) {
        frame.erase(frame.begin());
        return true;
    }
    const uint32_t headerLength = readWord(&frame[8]);
    if (headerLength < kWrappedHeaderMinimum || headerLength > kWrappedHeaderMaximum) {
        frame.erase(frame.begin());
        return true;
    }
    const size_t length = 4 + headerLength + 2;
    if (frame.size() < length)
        return false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++record_.startDownloads;
    }
    if (currentFaults().silentAtStartDownload) {
        session.silent = true;
        frame.clear();
        return false;
    }
    const StartDownloadRequest request = takeStartDownloadRequest(frame, headerLength);
    if (!request.sound) {
        std::lock_guard<std::mutex> guard(mutex_);
        ++record_.badChecksumFrames;
    }
    if (const std::optional<uint8_t> refusal = startDownloadRefusal(session, request)) {
        answer(card, port, *refusal, request.length);
        return true;
    }
    beginImage(session, request);
    answer(card, port, kAccepted, request.length);
    return true;
}

Loader::StartDownloadRequest Loader::takeStartDownloadRequest(std::vector<uint8_t>& frame,
                                                              uint32_t headerLength) {
    StartDownloadRequest request;
    request.length = 4 + headerLength + 2;
    request.sound = checksumHolds(frame, request.length);
    request.blockSize = static_cast<uint16_t>(frame[2] | (frame[3] << 8));
    request.payloadSize = readWord(&frame[12]);
    request.header.assign(frame.begin() + 4, frame.begin() + 4 + headerLength);
    frame.erase(frame.begin(), frame.begin() + request.length);
    return request;
}

std::optional<uint8_t> Loader::startDownloadRefusal(Session& session,
                                                    const StartDownloadRequest& request) {
    const LoaderFaults faults = currentFaults();
    if (!request.sound)
        return kSendAgain;
    if (session.startRejections < faults.rejectStartDownload) {
        ++session.startRejections;
        return faults.rejectStatus;
    }
    if (request.payloadSize > options_.memorySize)
        return kTooBig;
    if (request.blockSize == 0)
        return kSendAgain;
    return std::nullopt;
}

void Loader::beginImage(Session& session, const StartDownloadRequest& request) {
    session.image = request.header;
    session.position = session.image.size();
    session.image.resize(session.image.size() + request.payloadSize);
    session.blockSize = request.blockSize;
    session.started = true;
    session.block = 1;
    std::lock_guard<std::mutex> guard(mutex_);
    record_.blockSize = request.blockSize;
    record_.imageBytes = session.position;
}

bool Loader::takeDataFrame(CardSimulator& card, Port port) {
    Session& session = *session_;
    std::vector<uint8_t>& frame = session.pending;
    if (frame.size() < 2)
        return false;
    if (frame[1] != kDataFrame) {
        frame.erase(frame.begin());
        return true;
    }
    const DataFrameLayout layout = nextDataFrameLayout(session);
    if (frame.size() < layout.length)
        return false;

    const bool sound = checksumHolds(frame, layout.length);
    const LoaderFaults faults = currentFaults();
    const int block = session.block;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++record_.dataFrames;
        if (!sound)
            ++record_.badChecksumFrames;
    }
    if (blockFaultTakesOver(card, port, faults, block, layout.length))
        return false;
    if (!sound ||
        (faults.rejectBlock == block && session.blockRejections < faults.rejectBlockTimes)) {
        uint8_t status = kSendAgain;
        if (sound) {
            ++session.blockRejections;
            status = faults.rejectStatus;
        }
        frame.erase(frame.begin(), frame.begin() + layout.length);
        answer(card, port, status, layout.length);
        return true;
    }
    acceptBlock(card, port, layout, faults.strayByteAtBlock == block);
    return true;
}

Loader::DataFrameLayout Loader::nextDataFrameLayout(const Session& session) {
    DataFrameLayout layout;
    const size_t left = session.image.size() - session.position;
    layout.count = left < session.blockSize ? left : session.blockSize;
    layout.data = layout.count + (layout.count % 2);
    layout.length = 2 + layout.data + 2;
    return layout;
}

bool Loader::blockFaultTakesOver(CardSimulator& card, Port port, const LoaderFaults& faults,
                                 int block, size_t frameBytes) {
    Session& session = *session_;
    if (faults.unplugAtBlock == block) {
        session_.reset();
        card.scheduleLeave(0, platform::kInfiniteMs);
        return true;
    }
    if (faults.silentAtBlock != 0 && block >= faults.silentAtBlock) {
        session.silent = true;
        session.pending.clear();
        return true;
    }
    if (faults.noiseAtBlock != 0 && block >= faults.noiseAtBlock) {
        session.silent = true;
        session.pending.clear();
        session.noiseLeft = kNoiseByteLimit;
        sendNoise(card, port);
        return true;
    }
    if (faults.timeoutAtBlock == block) {
        session.pending.clear();
        answer(card, port, kTransmissionTimeout, frameBytes);
        session_.reset();
        card.scheduleLeaveAfterAnswer(options_.resetDelayMs, options_.comeBackDelayMs);
        return true;
    }
    return false;
}

void Loader::acceptBlock(CardSimulator& card, Port port, const DataFrameLayout& layout,
                         bool strayByteFirst) {
    Session& session = *session_;
    std::vector<uint8_t>& frame = session.pending;
    std::memcpy(session.image.data() + session.position, frame.data() + 2, layout.count);
    session.position += layout.count;
    frame.erase(frame.begin(), frame.begin() + layout.length);
    session.block += 1;
    session.blockRejections = 0;
    const bool complete = session.position == session.image.size();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++record_.acceptedBlocks;
        record_.blockSizes.push_back(layout.data);
        record_.imageBytes = session.position;
        record_.imageComplete = complete;
        if (complete)
            record_.imageCrc =
                static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), session.image.data(),
                                            static_cast<uInt>(session.image.size())));
    }
    answer(card, port, kAccepted, layout.length, strayByteFirst);
    // The last block ends the block protocol; "AT%PROG=2" follows as an AT command.
    if (complete)
        card.setRawReceiver(port, nullptr);
}

void Loader::answer(CardSimulator& card, Port port, uint8_t status, size_t frameBytes,
                    bool strayByteFirst) {
    if (strayByteFirst)
        card.sendRaw(port, &kStrayByte, 1);
    if (options_.bytesPerSecond == 0) {
        const uint8_t reply[2] = {kFrameStart, status};
        card.sendRaw(port, reply, sizeof reply);
        return;
    }
    // The frame takes this long to cross the link; the answer cannot come before.
    const uint64_t delayMs = frameBytes * 1000 / options_.bytesPerSecond;
    if (session_)
        session_->answering = true;
    card.addTimer(delayMs, [this, &card, port, status] {
        const uint8_t late[2] = {kFrameStart, status};
        card.sendRaw(port, late, sizeof late);
        if (session_) {
            session_->answering = false;
            receive(card, port, nullptr, 0);
        }
    });
}

void Loader::sendNoise(CardSimulator& card, Port port) {
    if (!session_ || session_->noiseLeft == 0)
        return;
    --session_->noiseLeft;
    card.sendRaw(port, &kStrayByte, 1);
    card.addTimer(options_.noiseIntervalMs, [this, &card, port] { sendNoise(card, port); });
}

void Loader::program(CardSimulator& card, Port port) {
    const LoaderFaults faults = currentFaults();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++record_.programmings;
    }
    CardState flashed = card.state();
    std::string problem;
    const bool readable =
        identityFromImage(session_->image.data(), session_->image.size(), flashed, problem);
    const bool damaged = !readable && problem != "no firmware content";
    std::string failure = faults.programmingError;
    if (failure.empty() && damaged)
        failure = kDamagedImageText;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        record_.lastProblem = problem;
    }

    uint64_t at = 0;
    const size_t steps =
        failure.empty() ? options_.progressSteps.size() : options_.progressSteps.size() / 2;
    for (size_t i = 0; i < steps; ++i) {
        at += options_.progressIntervalMs;
        const std::string line = "%PROG: " + std::to_string(options_.progressSteps[i]) + "\r\n";
        card.addTimer(at, [&card, port, line] { card.reply(port, line); });
    }
    at += options_.progressIntervalMs;
    if (!failure.empty()) {
        card.addTimer(at, [&card, port, failure] { card.reply(port, failure + "\r\n"); });
        at += options_.finalCodeDelayMs;
        card.addTimer(at, [&card, port] { card.reply(port, kError); });
        return;
    }
    const std::string crossBoot = options_.crossBootLine + "\r\n";
    card.addTimer(at, [&card, port, crossBoot] { card.reply(port, crossBoot); });
    at += options_.finalCodeDelayMs;
    const bool comesBack = !faults.noComeBack;
    card.addTimer(at, [this, &card, port, flashed, readable, comesBack] {
        card.reply(port, kOk);
        // The programmed firmware runs after the reset, in modem mode.
        if (readable)
            card.state() = flashed;
        card.state().mode = 0;
        card.saveState();
        {
            std::lock_guard<std::mutex> guard(mutex_);
            record_.identityApplied = readable;
        }
        session_.reset();
        card.scheduleLeaveAfterAnswer(options_.resetDelayMs,
                                      comesBack ? options_.comeBackDelayMs : platform::kInfiniteMs);
    });
}

bool Loader::identityFromImage(const uint8_t* image, size_t size, CardState& state,
                               std::string& problem) {
    if (size < 12) {
        problem = "no firmware content";
        return false;
    }
    const uint32_t headerLength = readWord(image + 4);
    if (headerLength > size || size - headerLength < kFirmwareBlockSize ||
        readWord(image + headerLength) != kFirmwareBlockMagic) {
        problem = "no firmware content";
        return false;
    }
    const uint8_t* payload = image + headerLength;
    const size_t payloadSize = size - headerLength;
    const uint32_t streamLength = readWord(payload + 8);
    if (readWord(payload + 4) != kFirmwareBlockSize ||
        streamLength > payloadSize - kFirmwareBlockSize ||
        payloadSize - kFirmwareBlockSize - streamLength < 4) {
        problem = "firmware block damaged";
        return false;
    }
    const uint8_t* stream = payload + kFirmwareBlockSize;
    const uint32_t crc = static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), stream, streamLength));
    if (crc != readWord(stream + streamLength)) {
        problem = "firmware stream CRC wrong";
        return false;
    }
    std::string content;
    if (!inflateAll(stream, streamLength, content)) {
        problem = "firmware stream does not inflate";
        return false;
    }
    content.resize(std::strlen(content.c_str()));
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "manufacturer")
            state.manufacturer = value;
        else if (key == "model")
            state.model = value;
        else if (key == "revision")
            state.revision = value;
        else if (key == "date")
            state.date = value;
        else if (key == "time")
            state.time = value;
        else if (key == "software")
            state.softwareVersion = value;
    }
    return true;
}

} // namespace cardsim
