// Security plug-in "sec_passwd": checks "user:password" credentials against
// the password file named by the configuration text. The file is re-read
// when its identity, size or modification time changes. A successful logon
// answers a fresh random token of 128 bits in hex; unknown users and wrong
// passwords take the same path (a dummy hash is verified for unknown users)
// so that timing does not tell them apart.

#include "platform/wardn/PasswordFile.h"
#include "platform/wardn/wardn.h"
#include "platform/wardn/wardn_plugin.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace {

constexpr size_t kTokenBytes = 16;

struct FileSignature {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};

    bool operator==(const FileSignature& o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size
            && modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

FileSignature signatureOf(const std::string& path)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0)
        return {};
    return { true, info.st_dev, info.st_ino, info.st_size, info.st_mtim };
}

// The accounts of the password file, reloaded when the file changes.
// Readers get a snapshot, so slow hash checks run without the lock.
class AccountStore {
public:
    explicit AccountStore(std::string path)
        : path_(std::move(path))
    {
    }

    std::shared_ptr<const wardn::Accounts> snapshot()
    {
        std::lock_guard lock(mutex_);
        const FileSignature now = signatureOf(path_);
        if (!accounts_ || !(now == signature_)) {
            accounts_ = std::make_shared<const wardn::Accounts>(load());
            signature_ = now;
        }
        return accounts_;
    }

private:
    // A missing or unreadable file holds no accounts: every logon is refused.
    wardn::Accounts load() const
    {
        std::ifstream in(path_, std::ios::binary);
        if (!in)
            return {};
        std::ostringstream text;
        text << in.rdbuf();
        return wardn::parseAccounts(text.str());
    }

    const std::string path_;
    std::mutex mutex_;
    FileSignature signature_;
    std::shared_ptr<const wardn::Accounts> accounts_;
};

struct PluginState {
    AccountStore store;
    std::string dummyHash;
};

bool copyOut(const std::string& text, char* out, size_t size)
{
    if (text.size() + 1 > size)
        return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

bool randomToken(std::string& token)
{
    unsigned char bytes[kTokenBytes];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return false;
    static const char digits[] = "0123456789abcdef";
    token.clear();
    for (const unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 0xf];
    }
    return true;
}

int pluginInit(const char* conf, void** pluginState)
{
    if (!conf || !*conf)
        return -1;
    try {
        std::string dummyPassword;
        if (!randomToken(dummyPassword))
            return -1;
        *pluginState = new PluginState { AccountStore(conf), wardn::hashPassword(dummyPassword) };
        return 0;
    } catch (...) {
        return -1;
    }
}

void pluginFini(void* pluginState)
{
    delete static_cast<PluginState*>(pluginState);
}

int serverInit(void* pluginState, void** context)
{
    *context = pluginState; // the context needs nothing beyond the plug-in's state
    return 0;
}

void serverFini(void*) { }

int serverStart(void* context, const void* input, size_t inputLength, char* token, size_t tokenSize,
    char* user, size_t userSize)
{
    auto* state = static_cast<PluginState*>(context);
    const std::string_view credential(static_cast<const char*>(input), inputLength);
    const auto colon = credential.find(':');
    if (colon == std::string_view::npos || credential.find('\0') != std::string_view::npos)
        return SEC_MALFORMED;
    const auto name = credential.substr(0, colon);
    const auto password = credential.substr(colon + 1);
    if (!wardn::isValidUserName(name))
        return SEC_MALFORMED;
    try {
        const auto accounts = state->store.snapshot();
        const auto it = accounts->find(name);
        const bool known = it != accounts->end();
        const bool verified = wardn::verifyPassword(password, known ? it->second : state->dummyHash);
        if (!known || !verified)
            return SEC_DENIED;
        std::string answer;
        if (!randomToken(answer) || !copyOut(answer, token, tokenSize) || !copyOut(it->first, user, userSize))
            return SEC_E_PLUGIN;
        return SEC_DONE;
    } catch (...) {
        return SEC_E_PLUGIN;
    }
}

const wardn_plugin kOperations { pluginInit, pluginFini, serverInit, serverFini, serverStart };

} // namespace

extern "C" const wardn_plugin* wardn_plugin_entry(void)
{
    return &kOperations;
}
