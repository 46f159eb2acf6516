// Key files: a fixed header line naming the kind and format version, then 64
// hex digits and a newline, nothing else. Anything that differs by one byte
// is refused, so a truncated or edited file never yields a different key.
#include "util/KeyFile.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvane {
namespace crypto {
namespace KeyFile {

using Status = Transport::StatusCode;

namespace {

const char SECRET_HEADER[] = "korvane x25519 secret key v1\n";
const char PUBLIC_HEADER[] = "korvane x25519 public key v1\n";
constexpr std::size_t KEY_SIZE = 32;
constexpr std::size_t MAX_FILE_SIZE = 256;

Status system_failure(const std::string& step, const std::string& path)
{
    const int error = errno;
    return Status(error == EEXIST || error == ENOENT || error == EISDIR ? Status::TRANSPORT_STATUS_INVALID_ARGUMENT
                  : error == EACCES || error == EPERM                 ? Status::TRANSPORT_STATUS_ACCESS_DENIED
                                                                      : Status::TRANSPORT_STATUS_UNKNOWN,
                  step + " " + path + ": " + std::strerror(error));
}

Status malformed(const std::string& path)
{
    return Status(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, "Malformed key file: " + path);
}

std::string encode(const char* header, const unsigned char* key)
{
    char hex[2 * KEY_SIZE + 1];
    sodium_bin2hex(hex, sizeof hex, key, KEY_SIZE);
    return std::string(header) + hex + "\n";
}

bool write_all(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

// Created with its final mode: an existing file is removed first, so the mode
// of an old, laxer file never carries over.
Status write_file(const std::string& path, const std::string& text, mode_t mode, bool overwrite)
{
    if (overwrite && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return system_failure("unlink", path);
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        return system_failure("open", path);
    }
    const bool written = write_all(fd, text);
    const int error = errno;
    if (::close(fd) != 0 || !written) {
        errno = written ? errno : error;
        return system_failure("write", path);
    }
    return Status();
}

// Reads the whole (small) file; `secret` also checks who else may read it.
Status read_file(const std::string& path, bool secret, std::string& text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return system_failure("open", path);
    }
    struct stat info;
    Status status;
    if (::fstat(fd, &info) != 0) {
        status = system_failure("fstat", path);
    } else if (!S_ISREG(info.st_mode) || info.st_size > static_cast<off_t>(MAX_FILE_SIZE)) {
        status = malformed(path);
    } else if (secret && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        status = Status(Status::TRANSPORT_STATUS_ACCESS_DENIED, "Secret key file open to group or others: " + path);
    } else {
        char buffer[MAX_FILE_SIZE + 1];
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            status = system_failure("read", path);
        } else {
            text.assign(buffer, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    return status;
}

bool decode(const std::string& text, const char* header, unsigned char* key)
{
    const std::size_t header_size = std::strlen(header);
    if (text.size() != header_size + 2 * KEY_SIZE + 1 || text.compare(0, header_size, header) != 0
        || text.back() != '\n') {
        return false;
    }
    std::size_t decoded = 0;
    const char* end = nullptr;
    return sodium_hex2bin(key, KEY_SIZE, text.data() + header_size, 2 * KEY_SIZE, nullptr, &decoded, &end) == 0
           && decoded == KEY_SIZE && end == text.data() + header_size + 2 * KEY_SIZE;
}

} // namespace

Status write_key_pair(const std::string& base, const public_key_t& public_key, const secret_key_t& secret_key,
                      bool overwrite)
{
    std::string secret_text = encode(SECRET_HEADER, secret_key);
    Status status = write_file(base + ".key", secret_text, S_IRUSR | S_IWUSR, overwrite);
    sodium_memzero(&secret_text[0], secret_text.size());
    if (!status) {
        return status;
    }
    status = write_file(base + ".pub", encode(PUBLIC_HEADER, public_key), 0644, overwrite);
    if (!status) {
        ::unlink((base + ".key").c_str()); // never a secret file without its own public one
    }
    return status;
}

Status read_key_pair(const std::string& path, public_key_t& public_key, secret_key_t& secret_key)
{
    std::string text;
    Status status = read_file(path, true, text);
    unsigned char secret[KEY_SIZE];
    unsigned char derived[KEY_SIZE];
    if (!!status && !(decode(text, SECRET_HEADER, secret) && crypto_scalarmult_base(derived, secret) == 0)) {
        status = malformed(path);
    }
    if (!!status) {
        std::memcpy(secret_key, secret, KEY_SIZE);
        std::memcpy(public_key, derived, KEY_SIZE);
    }
    sodium_memzero(secret, sizeof secret);
    if (!text.empty()) {
        sodium_memzero(&text[0], text.size());
    }
    return status;
}

Status read_public_key(const std::string& path, public_key_t& public_key)
{
    std::string text;
    Status status = read_file(path, false, text);
    unsigned char key[KEY_SIZE];
    if (!!status && !decode(text, PUBLIC_HEADER, key)) {
        status = malformed(path);
    }
    if (!!status) {
        std::memcpy(public_key, key, KEY_SIZE);
    }
    return status;
}

Status read_public_key(const std::string& path, std::array<unsigned char, 32>& public_key)
{
    public_key_t key;
    const Status status = read_public_key(path, key);
    if (!!status) {
        std::memcpy(public_key.data(), key, sizeof key);
    }
    return status;
}

} // namespace KeyFile
} // namespace crypto
} // namespace korvane
