// The password file: parsing, hashing and verification, rewriting.

#include "platform/wardn/PasswordFile.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <crypt.h>
#include <sys/stat.h>

namespace {

std::string sha512Hash(const std::string& password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn("$6$", 0, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data data {};
    return crypt_rn(password.c_str(), setting, &data, sizeof data);
}

TEST(PasswordFile, ParsesAccountsAndSkipsEverythingElse)
{
    const auto accounts = wardn::parseAccounts("# comment line\n"
                                               "\n"
                                               "alice:$y$j9T$abc$def\n"
                                               "no colon here\n"
                                               "bad user:$6$x$y\n"
                                               "carol:plaintext\n"
                                               "bob:$6$salt$hash\r\n"
                                               "alice:$6$new$hash\n"
                                               ":$6$empty$user");
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts.at("alice"), "$6$new$hash"); // the later line wins
    EXPECT_EQ(accounts.at("bob"), "$6$salt$hash");
}

TEST(PasswordFile, VerifiesYescryptAndSha512Hashes)
{
    const std::string yescrypt = wardn::hashPassword("s3cret");
    EXPECT_NE(wardn::hashPassword("s3cret"), yescrypt); // fresh salt each time
    EXPECT_TRUE(wardn::verifyPassword("s3cret", yescrypt));
    EXPECT_FALSE(wardn::verifyPassword("s3cret ", yescrypt));
    EXPECT_FALSE(wardn::verifyPassword("", yescrypt));
    std::string tampered = yescrypt; // differs from the right hash in one early character only
    tampered[tampered.size() - 8] = tampered[tampered.size() - 8] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(wardn::verifyPassword("s3cret", tampered));

    const std::string sha512 = sha512Hash("other:pass");
    EXPECT_TRUE(wardn::verifyPassword("other:pass", sha512));
    EXPECT_FALSE(wardn::verifyPassword("other", sha512));
    EXPECT_FALSE(wardn::verifyPassword("x", "not a hash"));
}

TEST(PasswordFile, SetPasswordAddsReplacesAndKeepsTheRest)
{
    rs::test::ScratchDir dir;
    const std::string file = dir.file("passwd");
    rs::test::writeFile(file, "# accounts\nbob:$6$salt$hash\nalice:$6$old$hash\nalice:$6$older$hash\n");

    wardn::setPassword(file, "alice", "new-pass");
    wardn::setPassword(file, "dave", "dave-pass");

    const std::string text = rs::test::readFile(file);
    EXPECT_EQ(text.rfind("# accounts\nbob:$6$salt$hash\nalice:$y$", 0), 0u) << text;
    EXPECT_EQ(text.find("alice:", text.find("alice:") + 1), std::string::npos) << "one line per user";
    const auto accounts = wardn::parseAccounts(text);
    ASSERT_EQ(accounts.size(), 3u);
    EXPECT_TRUE(wardn::verifyPassword("new-pass", accounts.at("alice")));
    EXPECT_TRUE(wardn::verifyPassword("dave-pass", accounts.at("dave")));
    EXPECT_EQ(text.find("new-pass"), std::string::npos);

    struct stat info { };
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(PasswordFile, SetPasswordRefusesWhatWouldLoseAccounts)
{
    rs::test::ScratchDir dir;
    EXPECT_THROW(wardn::setPassword(dir.file("passwd"), "bad:user", "x"), std::runtime_error);
    EXPECT_THROW(wardn::setPassword(dir.file("no/such/dir/passwd"), "user", "x"), std::runtime_error);
    if (::geteuid() != 0) { // root reads anything
        const std::string file = dir.file("locked");
        rs::test::writeFile(file, "bob:$6$salt$hash\n");
        ASSERT_EQ(::chmod(file.c_str(), 0200), 0);
        EXPECT_THROW(wardn::setPassword(file, "alice", "x"), std::runtime_error);
        ::chmod(file.c_str(), 0600);
        EXPECT_EQ(rs::test::readFile(file), "bob:$6$salt$hash\n");
    }
}

} // namespace
