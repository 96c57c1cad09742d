// Parsing, hashing and rewriting of the sec_passwd password file.

#include "platform/wardn/PasswordFile.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace wardn {

namespace {

std::string_view trimLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

// crypt(3) hashes are printable: a blank, ':' or control character means a damaged line.
bool isHashLike(std::string_view hash)
{
    return hash.size() > 3 && hash.front() == '$'
        && std::none_of(
            hash.begin(), hash.end(), [](unsigned char c) { return c <= ' ' || c == ':' || c == 0x7f; });
}

// The user of a "user:HASH" line, or empty when the line holds no account.
std::string_view accountUser(std::string_view line)
{
    line = trimLineEnd(line);
    if (line.empty() || line.front() == '#')
        return {};
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return {};
    const auto user = line.substr(0, colon);
    return isValidUserName(user) && isHashLike(line.substr(colon + 1)) ? user : std::string_view {};
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

[[noreturn]] void fail(const std::string& what, const std::string& path)
{
    throw std::runtime_error(what + " '" + path + "': " + std::strerror(errno));
}

// The file's text; empty when it does not exist yet. A file that exists but
// cannot be read is a failure, so that rewriting it never drops accounts.
std::string readExistingFile(const std::string& path)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return {};
        fail("cannot read", path);
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("cannot read", path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFileAtomically(const std::string& path, const std::string& text)
{
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot create", temp);
    const bool written = ::fchmod(fd, 0600) == 0
        && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temp.c_str());
        errno = savedErrno;
        fail("cannot write", temp);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        fail("cannot replace", path);
    }
}

} // namespace

Accounts parseAccounts(std::string_view text)
{
    Accounts accounts;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = trimLineEnd(text.substr(0, end));
        const auto user = accountUser(line);
        if (!user.empty())
            accounts[std::string(user)] = std::string(line.substr(user.size() + 1));
        text = end == std::string_view::npos ? std::string_view {} : text.substr(end + 1);
    }
    return accounts;
}

bool isValidUserName(std::string_view user)
{
    if (user.empty() || user.size() > 255)
        return false;
    for (const unsigned char c : user)
        if (c == ':' || c <= ' ' || c == 0x7f)
            return false;
    return true;
}

std::string hashPassword(std::string_view password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting))
        throw std::runtime_error("cannot generate a password salt");
    auto data = std::make_unique<crypt_data>();
    const std::string phrase(password);
    const char* hash = crypt_rn(phrase.c_str(), setting, data.get(), sizeof *data);
    if (!hash || hash[0] == '*')
        throw std::runtime_error("cannot hash the password");
    std::string result(hash);
    explicit_bzero(data.get(), sizeof *data);
    return result;
}

bool verifyPassword(std::string_view password, const std::string& hash)
{
    auto data = std::make_unique<crypt_data>();
    const std::string phrase(password);
    const char* computed = crypt_rn(phrase.c_str(), hash.c_str(), data.get(), sizeof *data);
    bool equal = computed && computed[0] != '*' && std::strlen(computed) == hash.size();
    if (equal) {
        unsigned char difference = 0;
        for (size_t i = 0; i < hash.size(); ++i)
            difference |= static_cast<unsigned char>(computed[i] ^ hash[i]);
        equal = difference == 0;
    }
    explicit_bzero(data.get(), sizeof *data);
    return equal;
}

void setPassword(const std::string& path, std::string_view user, std::string_view password)
{
    if (!isValidUserName(user))
        throw std::runtime_error("invalid user name");
    const std::string entry = std::string(user) + ":" + hashPassword(password);
    std::string text;
    bool replaced = false;
    for (const auto& line : splitLines(readExistingFile(path))) {
        if (accountUser(line) == user) {
            if (!replaced)
                text += entry + "\n";
            replaced = true;
        } else {
            text += line + "\n";
        }
    }
    if (!replaced)
        text += entry + "\n";
    writeFileAtomically(path, text);
}

} // namespace wardn
