#include "lorvex/protocol/inherited_text.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "lorvex/protocol/command_line_error.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/open_descriptors.hpp"

namespace lorvex {
namespace {

// Far beyond any row map a video can need (about 16 bytes per frame), small enough that a
// bad descriptor cannot make the worker swallow the machine's memory.
constexpr off_t kLargestText = off_t{1} << 30;

[[noreturn]] void refuse(std::string_view reference, const std::string& reason) {
    throw CommandLineError("bad inherited item '" + std::string(reference.substr(0, 32)) +
                           "': " + reason);
}

}  // namespace

std::string read_inherited_file(int descriptor) {
    struct stat status {};
    if (fstat(descriptor, &status) != 0) throw std::runtime_error(std::strerror(errno));
    if (!S_ISREG(status.st_mode)) throw std::runtime_error("not a regular file");
    if (status.st_size > kLargestText) throw std::runtime_error("larger than any encoded item");

    // pread: the workers of one load share the file's offset, so none may move it.
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got =
            pread(descriptor, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error(std::strerror(errno));
        if (got == 0) throw std::runtime_error("shorter than its size");
        done += static_cast<std::size_t>(got);
    }
    return text;
}

Descriptor new_memory_file(std::string_view name, std::string_view content) {
    const std::string file_name(name);
    const auto fail = [&] {
        throw std::system_error(errno, std::generic_category(),
                                "Could not create the memory file " + file_name);
    };
    Descriptor file(memfd_create(file_name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!file) fail();
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t written = write(file.get(), content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail();
        done += static_cast<std::size_t>(written);
    }
    if (fcntl(file.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
        0) {
        fail();
    }
    return file;
}

std::vector<int> inherited_memory_files(std::string_view name) {
    std::vector<int> found;
    const std::string wanted = "/memfd:" + std::string(name);
    for (const int descriptor : open_descriptors().value_or(std::vector<int>{})) {
        if (descriptor <= 2) continue;
        char target[256] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        // The link reads "/memfd:<name> (deleted)": the name must end where the suffix starts.
        const std::string_view shown(target, length > 0 ? static_cast<std::size_t>(length) : 0);
        if (shown.starts_with(wanted) &&
            (shown.size() == wanted.size() || shown[wanted.size()] == ' ')) {
            found.push_back(descriptor);
        }
    }
    return found;
}

std::string inherited_text_reference(int descriptor) {
    return std::string(names::kInheritedTextPrefix) + std::to_string(descriptor);
}

bool is_inherited_text_reference(std::string_view item) {
    return item.starts_with(names::kInheritedTextPrefix);
}

std::string read_inherited_text(std::string_view reference) {
    const std::string_view digits = reference.substr(names::kInheritedTextPrefix.size());
    int descriptor = -1;
    const auto [stop, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), descriptor);
    if (digits.empty() || error != std::errc() || stop != digits.data() + digits.size() ||
        descriptor < 3) {
        refuse(reference, "must be " + std::string(names::kInheritedTextPrefix) +
                              " and a descriptor number of 3 or more");
    }
    try {
        return read_inherited_file(descriptor);
    } catch (const std::runtime_error& error) {
        refuse(reference, error.what());
    }
}

}  // namespace lorvex
