// The three list records of the answers: what a sender in either byte order
// writes reads back whole, and a truncated or hostile list is refused with
// nothing kept.

#include "interfaces/types/AppDplList.h"
#include "interfaces/types/DplStatusList.h"
#include "interfaces/types/RepositoryAppList.h"

#include "zephcomm/wire/Cdr.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <functional>

using namespace rs;
using zephcomm::wire::makeInput;
using zephcomm::wire::makeOutput;

namespace {

// Wire bytes written by hand, field by field, in the sender's byte order.
class Bytes {
public:
    explicit Bytes(bool bigEndian = false)
        : bigEndian_(bigEndian)
    {
    }
    Bytes& u32(uint32_t v)
    {
        while (bytes_.size() % 4)
            bytes_.push_back(0);
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<char>((v >> (8 * (bigEndian_ ? 3 - i : i))) & 0xFF));
        return *this;
    }
    Bytes& str(const std::string& s)
    {
        u32(static_cast<uint32_t>(s.size() + 1));
        bytes_ += s;
        bytes_.push_back('\0');
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

private:
    bool bigEndian_;
    std::string bytes_;
};

std::string encoded(const std::function<bool(ACE_OutputCDR&)>& write)
{
    auto out = makeOutput();
    EXPECT_TRUE(write(*out));
    std::string bytes;
    for (const ACE_Message_Block* b = out->begin(); b; b = b->cont())
        bytes.append(b->rd_ptr(), b->length());
    return bytes;
}

// Decodes `bytes` as a payload body (after a little-endian flag).
bool decode(const std::string& bytes, const std::function<bool(ACE_InputCDR&)>& read)
{
    ACE_Message_Block block(bytes.size() + 16);
    ACE_CDR::mb_align(&block);
    const char flag[4] = { 1, 0, 0, 0 };
    block.copy(flag, 4);
    block.copy(bytes.data(), bytes.size());
    auto in = makeInput(&block);
    // The flag took one byte; skip the padding the writer put before the body.
    ACE_CDR::Octet pad[3];
    return in && in->read_octet_array(pad, 3) && read(*in);
}

RepositoryAppEntry moduleEntry()
{
    return { "1.2", "mod", { "appA", "appB" }, "/c", "bob", "mod.zip", 1234, 1700000000, true };
}

} // namespace

TEST(ListRecords, AllThreeRoundTrip)
{
    DplStatusList status;
    status.entries = { { "h1", HOST_INSTALLED, "" }, { "h2", HOST_ERROR, "boom" } };
    AppDplList packages;
    packages.entries.resize(2);
    packages.entries[0].setStoredName("p.type_t");
    packages.entries[1].fileSize = 5;
    RepositoryAppList modules;
    modules.append(moduleEntry());
    modules.append(RepositoryAppEntry {});

    const std::string bytes = encoded([&](ACE_OutputCDR& o) {
        return writeDplStatusList(o, status) && writeAppDplList(o, packages)
            && writeRepositoryAppList(o, modules);
    });
    DplStatusList status2;
    AppDplList packages2;
    RepositoryAppList modules2;
    ASSERT_TRUE(decode(bytes, [&](ACE_InputCDR& i) {
        return readDplStatusList(i, status2) && readAppDplList(i, packages2)
            && readRepositoryAppList(i, modules2);
    }));
    EXPECT_EQ(status2, status);
    EXPECT_EQ(packages2, packages);
    EXPECT_EQ(modules2, modules);
}

TEST(ListRecords, TruncatedOrHostileListsAreRefusedAndLeaveNothingBehind)
{
    RepositoryAppList two;
    two.append(moduleEntry());
    two.append(moduleEntry());
    const std::string modules = encoded([&](ACE_OutputCDR& o) { return writeRepositoryAppList(o, two); });
    DplStatusList running;
    running.entries = { { "h1", HOST_RUNNING, "" } };
    const std::string status = encoded([&](ACE_OutputCDR& o) { return writeDplStatusList(o, running); });
    // A huge record count before the bytes of one status record, and a huge
    // count of linked applications in a module record.
    const std::string hugeCount = Bytes().u32(0x7FFFFFFF).str("h").str("").u32(1).bytes();
    const std::string hugeLinks = Bytes().u32(1).str("v").str("m").u32(0x7FFFFFFF).bytes();

    enum { Modules = 1, Status = 2, Packages = 4 };
    const std::pair<std::string, int> rows[] = { { modules.substr(0, 2), Modules },
        { modules.substr(0, 20), Modules }, { modules.substr(0, modules.size() - 1), Modules },
        { status.substr(0, status.size() - 2), Status }, { hugeCount, Modules | Status | Packages },
        { hugeLinks, Modules } };
    for (const auto& [bytes, lists] : rows) {
        SCOPED_TRACE(bytes.size());
        RepositoryAppList moduleList;
        moduleList.append(moduleEntry());
        DplStatusList statusList = running;
        AppDplList packageList;
        packageList.entries.resize(1);
        if (lists & Modules) {
            EXPECT_FALSE(
                decode(bytes, [&](ACE_InputCDR& i) { return readRepositoryAppList(i, moduleList); }));
            EXPECT_EQ(moduleList.count(), 0u);
        }
        if (lists & Status) {
            EXPECT_FALSE(decode(bytes, [&](ACE_InputCDR& i) { return readDplStatusList(i, statusList); }));
            EXPECT_TRUE(statusList.entries.empty());
        }
        if (lists & Packages) {
            EXPECT_FALSE(decode(bytes, [&](ACE_InputCDR& i) { return readAppDplList(i, packageList); }));
            EXPECT_TRUE(packageList.entries.empty());
        }
    }
}

TEST(ListRecords, ABigEndianSenderIsReadAsALittleEndianOne)
{
    // ACE writes in the host's order only, so the sender's bytes are built by hand.
    Bytes sent(true);
    sent.u32(0); // the payload's flag byte (0: big-endian) and padding
    sent.u32(1).str("1.2").str("mod").u32(1).str("appA").str("/c").str("bob").str("mod.zip");
    sent.u32(1234).u32(1700000000).u32(1);
    sent.u32(1).str("h1").str("boom").u32(HOST_ERROR);
    sent.u32(1).str("pkg").str("rpm").str("/c").str("alice").str("pkg.rpm").u32(99).str("").u32(12345);
    ACE_Message_Block block(sent.bytes().size() + ACE_CDR::MAX_ALIGNMENT);
    ACE_CDR::mb_align(&block);
    block.copy(sent.bytes().data(), sent.bytes().size());

    auto in = makeInput(&block);
    ASSERT_TRUE(in);
    RepositoryAppList modules;
    DplStatusList status;
    AppDplList packages;
    ASSERT_TRUE(readRepositoryAppList(*in, modules) && readDplStatusList(*in, status)
        && readAppDplList(*in, packages));
    RepositoryAppEntry expected = moduleEntry();
    expected.linkedApps = { "appA" };
    ASSERT_EQ(modules.count(), 1u);
    EXPECT_EQ(modules.entries()[0], expected);
    EXPECT_EQ(status.entries, (std::vector<DplStatusEntry> { { "h1", HOST_ERROR, "boom" } }));
    EXPECT_EQ(packages.entries,
        (std::vector<AppDplEntry> { { "pkg", "rpm", "/c", "alice", "pkg.rpm", 99, "", 12345 } }));
    EXPECT_EQ(in->length(), 0u);
}
