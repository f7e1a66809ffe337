#include "lorvex/container/probe_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace lorvex::container {
namespace {

constexpr const char* kFolderVariable = "LORVEX_PROBE_CACHE";

std::optional<std::string> folder() {
    const char* value = std::getenv(kFolderVariable);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

// FNV-1a over the path, the identity and the libraries' versions: a name, not a proof (the
// file's content is checked against the path and identity when read back).
std::string entry_name(const std::string& url, const FileIdentity& identity) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    const auto mix = [&](const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    };
    mix(url.data(), url.size());
    mix(&identity, sizeof identity);
    const unsigned versions[] = {avformat_version(), avcodec_version()};
    mix(versions, sizeof versions);
    char name[40];
    std::snprintf(name, sizeof name, "%016llx.probe", static_cast<unsigned long long>(hash));
    return name;
}

std::string read_all(int descriptor) {
    std::string bytes;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(descriptor, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error("read");
        if (got == 0) return bytes;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
}

bool write_all(int descriptor, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t put = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        written += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace

std::chrono::milliseconds probe_worth_keeping() {
    const char* value = std::getenv("LORVEX_PROBE_CACHE_MIN_MS");
    if (value == nullptr || *value == '\0') return std::chrono::milliseconds(10);
    char* end = nullptr;
    const long long milliseconds = std::strtoll(value, &end, 10);
    if (*end != '\0' || milliseconds < 0) return std::chrono::milliseconds(10);
    return std::chrono::milliseconds(milliseconds);
}

std::optional<SourceState> kept_probe(const std::string& url, const FileIdentity& identity) {
    const std::optional<std::string> where = folder();
    if (!where) return std::nullopt;
    const std::string path = *where + "/" + entry_name(url, identity);
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) return std::nullopt;
    try {
        const std::string bytes = read_all(descriptor);
        ::close(descriptor);
        SourceState state = decode_source_state(bytes);
        if (state.url != url || !(state.identity == identity)) return std::nullopt;
        return state;
    } catch (const std::exception&) {
        ::close(descriptor);
        return std::nullopt;  // damaged or foreign: probed again, and kept anew
    }
}

void keep_probe(const SourceState& state) {
    const std::optional<std::string> where = folder();
    if (!where) return;
    const std::string path = *where + "/" + entry_name(state.url, state.identity);
    // Written aside and renamed into place: a reader sees a whole entry or none.
    std::string temporary = path + ".XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) return;
    const bool written = write_all(descriptor, encode_source_state(state));
    ::fchmod(descriptor, 0644);
    ::close(descriptor);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
    }
}

}  // namespace lorvex::container
