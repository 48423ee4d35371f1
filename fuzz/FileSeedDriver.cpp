// Runs the fuzz body once over each file of the seed folders and files named on the command
// line, for builds without libFuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool runFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    // Every prefix as well: truncated databases are the commonest malformed input.
    for (size_t length = 0; length < bytes.size(); length += 1 + bytes.size() / 64)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), length);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path argument(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(argument, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(argument)) {
                if (!entry.is_regular_file())
                    continue;
                if (!runFile(entry.path()))
                    return 1;
                ++files;
            }
        } else {
            if (!runFile(argument))
                return 1;
            ++files;
        }
    }
    if (files == 0) {
        std::fprintf(stderr, "no seed files\n");
        return 1;
    }
    std::printf("%d seed files passed\n", files);
    return 0;
}
