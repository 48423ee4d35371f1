// Runs a fuzz body without libFuzzer: over seeds built here (well-formed packages, images, answer
// texts and scripts) and deterministic mutations of them, and over any files named on the command
// line. With "--write DIR" it writes the seeds as a corpus for the libFuzzer target instead.

#include "tools/PackageBuilder.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using tools::Bytes;

const std::string kInfo = "ati\r\nManufacturer: Velmar N.V.\r\nModel: QT0880\r\nRevision: 3.19.0 "
                          "(Date: Mar 16 2010, Time: 15:03:03)\r\n\r\nOK\r\n";

Bytes image(size_t payload, uint32_t kind) {
    tools::WrappedImageSpec spec;
    spec.kind = kind;
    return tools::buildWrappedImage(spec,
                                    tools::fillerBytes(payload, static_cast<uint32_t>(kind + 1)));
}

tools::PackageEntry file(uint32_t type, const Bytes& data) {
    tools::PackageFileSpec spec;
    spec.fileType = type;
    spec.name = "seed";
    spec.tag = "-MOD-";
    spec.data = data;
    return tools::fileEntry(spec);
}

std::vector<Bytes> seeds() {
    std::vector<Bytes> out;
    out.push_back(image(40, 0x01000000));
    out.push_back(image(300, 6));
    tools::FirmwareImageSpec firmware;
    firmware.content = "manufacturer=Velmar N.V.\nmodel=QT0880\nrevision=3.19.0\n";
    firmware.imageSize = 2000;
    firmware.tailSize = 16;
    tools::FirmwareImage built;
    std::string problem;
    if (tools::buildFirmwareImage(firmware, built, problem))
        out.push_back(built.image);
    Bytes version(33086 + 536, ' ');
    std::memcpy(&version[33086], "SW_1.0", 6);
    const Bytes softwareImage = tools::buildWrappedImage(tools::WrappedImageSpec{}, version);

    tools::PackageSpec spec;
    spec.entries = {tools::informationEntry(kInfo), file(9, out[0])};
    out.push_back(tools::buildPackage(spec));
    spec.entries = {tools::informationEntry(kInfo), file(10, Bytes{'R', 'S', 'T', 'R', ':', 'x'}),
                    file(19, Bytes{'<', 'a', '/', '>'}), file(3, out[1]), file(9, out.back())};
    out.push_back(tools::buildPackage(spec));
    spec.entries = {file(11, softwareImage)};
    out.push_back(tools::buildPackage(spec));
    tools::PackageEntry unknown;
    unknown.type = 7;
    unknown.payload = Bytes(20, 1);
    spec.entries = {unknown, tools::informationEntry("")};
    out.push_back(tools::buildPackage(spec));

    // Texts: the devices' answers and customisation scripts, bare and inside a package.
    const std::string script =
        "<post_customization><mode>modem</mode><at_cmd>at+cfun=0</at_cmd><at_cmd>at+cfun=4"
        "</at_cmd><at_cmd>at_vhspacat=10,6</at_cmd></post_customization>\r\n";
    const std::string texts[] = {
        kInfo,
        "\r\n_VISOV: 2.8.1\r\n\r\nOK\r\n",
        "\r\n_VLMC: 7701234\r\n\r\nOK\r\n",
        script,
        "<?xml version=\"1.0\"?><s><!-- c --><at_cmd>\n  at+cgdcont=1,\"IP\"\n  \"x\" </at_cmd>"
        "<at_cmd>AT<opaque>NO</opaque><n type=\"integer\">5</n></at_cmd><![CDATA[<a/>]]></s>",
    };
    for (const std::string& text : texts)
        out.emplace_back(text.begin(), text.end());
    spec.entries = {tools::informationEntry(kInfo), file(19, Bytes(script.begin(), script.end()))};
    out.push_back(tools::buildPackage(spec));
    return out;
}

// Deterministic mutations: flipped bytes, length fields set to extremes, truncations.
void mutate(const Bytes& seed, uint32_t& state, std::vector<Bytes>& out) {
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (int i = 0; i < 60 && !seed.empty(); ++i) {
        Bytes changed = seed;
        const size_t at = next() % changed.size();
        switch (next() % 4) {
        case 0:
            changed[at] ^= static_cast<uint8_t>(1u << (next() % 8));
            break;
        case 1:
            for (size_t k = at; k < changed.size() && k < at + 4; ++k)
                changed[k] = 0xFF;
            break;
        case 2:
            changed.resize(at);
            break;
        default:
            for (size_t k = at; k < changed.size() && k < at + 4; ++k)
                changed[k] = 0;
            break;
        }
        out.push_back(std::move(changed));
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<Bytes> base = seeds();
    if (argc == 3 && std::strcmp(argv[1], "--write") == 0) {
        for (size_t i = 0; i < base.size(); ++i) {
            std::ofstream out(std::string(argv[2]) + "/seed-" + std::to_string(i),
                              std::ios::binary);
            out.write(reinterpret_cast<const char*>(base[i].data()),
                      static_cast<std::streamsize>(base[i].size()));
        }
        return 0;
    }
    std::vector<Bytes> inputs = base;
    uint32_t state = 0x12345678;
    for (const Bytes& seed : base)
        mutate(seed, state, inputs);
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (const Bytes& input : inputs)
        LLVMFuzzerTestOneInput(input.data(), input.size());
    std::printf("%zu inputs run\n", inputs.size());
    return 0;
}
