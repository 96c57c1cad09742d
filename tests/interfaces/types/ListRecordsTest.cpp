#include "interfaces/types/AppDplList.h"
#include "interfaces/types/DplStatusList.h"
#include "interfaces/types/RepositoryAppList.h"

#include "zephcomm/wire/Cdr.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <ctime>
#include <functional>

using namespace rs;
using zephcomm::wire::makeInput;
using zephcomm::wire::makeOutput;

namespace {

// The expected wire bytes, written field by field from the record layout;
// padding positions are marked so that their content is not compared.
class Expected {
public:
    explicit Expected(bool bigEndian = false)
        : bigEndian_(bigEndian)
    {
    }
    void u32(uint32_t v)
    {
        align();
        for (int i = 0; i < 4; ++i)
            put(static_cast<char>((v >> (8 * (bigEndian_ ? 3 - i : i))) & 0xFF));
    }
    void str(const std::string& s)
    {
        u32(static_cast<uint32_t>(s.size() + 1));
        for (char c : s)
            put(c);
        put('\0');
    }
    const std::string& bytes() const { return bytes_; }
    bool matches(const std::string& actual) const
    {
        if (actual.size() != bytes_.size())
            return false;
        for (size_t i = 0; i < actual.size(); ++i) {
            if (meaningful_[i] && actual[i] != bytes_[i])
                return false;
        }
        return true;
    }

private:
    void align()
    {
        while (bytes_.size() % 4) {
            bytes_.push_back(0);
            meaningful_.push_back(false);
        }
    }
    void put(char c)
    {
        bytes_.push_back(c);
        meaningful_.push_back(true);
    }
    bool bigEndian_;
    std::string bytes_;
    std::vector<bool> meaningful_;
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
    RepositoryAppEntry e;
    e.version = "1.2";
    e.moduleName = "mod";
    e.linkedApps = { "appA", "appB" };
    e.consumer = "/c";
    e.owner = "bob";
    e.fileName = "mod.zip";
    e.fileSize = 1234;
    e.addTime = 1700000000;
    e.deleted = true;
    return e;
}

} // namespace

TEST(ListRecords, EmptyListsAreTheCountZeroAlone)
{
    const std::string zero("\0\0\0\0", 4);
    EXPECT_EQ(encoded([](ACE_OutputCDR& o) { return writeDplStatusList(o, DplStatusList {}); }), zero);
    EXPECT_EQ(encoded([](ACE_OutputCDR& o) { return writeAppDplList(o, AppDplList {}); }), zero);
    EXPECT_EQ(
        encoded([](ACE_OutputCDR& o) { return writeRepositoryAppList(o, RepositoryAppList {}); }), zero);
}

TEST(ListRecords, StatusRecordCarriesMessageBeforeState)
{
    DplStatusList list;
    list.entries.push_back({ "host1", HOST_ERROR, "disk full" });
    Expected expected;
    expected.u32(1);
    expected.str("host1");
    expected.str("disk full");
    expected.u32(HOST_ERROR);
    EXPECT_TRUE(expected.matches(encoded([&](ACE_OutputCDR& o) { return writeDplStatusList(o, list); })));
}

TEST(ListRecords, PackageRecordFieldsInWireOrder)
{
    AppDplList list;
    AppDplEntry e;
    e.setStoredName("pkg.type_rpm");
    e.consumer = "/c";
    e.owner = "alice";
    e.fileName = "pkg.rpm";
    e.fileSize = 99;
    e.addTime = 12345;
    list.entries.push_back(e);
    Expected expected;
    expected.u32(1);
    for (const char* s : { "pkg", "rpm", "/c", "alice", "pkg.rpm" })
        expected.str(s);
    expected.u32(99);
    expected.str("");
    expected.u32(12345);
    EXPECT_TRUE(expected.matches(encoded([&](ACE_OutputCDR& o) { return writeAppDplList(o, list); })));
}

TEST(ListRecords, ModuleRecordCarriesLinkedApplicationsBetweenNameAndConsumer)
{
    RepositoryAppList list;
    list.append(moduleEntry());
    Expected expected;
    expected.u32(1);
    expected.str("1.2");
    expected.str("mod");
    expected.u32(2);
    expected.str("appA");
    expected.str("appB");
    expected.str("/c");
    expected.str("bob");
    expected.str("mod.zip");
    expected.u32(1234);
    expected.u32(1700000000);
    expected.u32(1);
    EXPECT_TRUE(expected.matches(encoded([&](ACE_OutputCDR& o) { return writeRepositoryAppList(o, list); })));
}

TEST(ListRecords, StoredNameSplitsAtTheTypeSeparator)
{
    AppDplEntry e;
    e.setStoredName("a.b.type_zip");
    EXPECT_EQ(e.packageName, "a.b");
    EXPECT_EQ(e.packageType, "zip");
    e.setStoredName("plain");
    EXPECT_EQ(e.packageName, "plain");
    EXPECT_EQ(e.packageType, "");
}

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

TEST(ListRecords, ATruncatedListFailsAndLeavesNothingBehind)
{
    RepositoryAppList modules;
    modules.append(moduleEntry());
    modules.append(moduleEntry());
    const std::string bytes = encoded([&](ACE_OutputCDR& o) { return writeRepositoryAppList(o, modules); });
    for (size_t cut : { size_t(2), size_t(20), bytes.size() - 1 }) {
        RepositoryAppList partial;
        partial.append(moduleEntry());
        EXPECT_FALSE(
            decode(bytes.substr(0, cut), [&](ACE_InputCDR& i) { return readRepositoryAppList(i, partial); }))
            << "cut at " << cut;
        EXPECT_EQ(partial.count(), 0u);
    }

    DplStatusList status;
    status.entries = { { "h1", HOST_RUNNING, "" } };
    const std::string statusBytes = encoded([&](ACE_OutputCDR& o) { return writeDplStatusList(o, status); });
    DplStatusList decoded;
    EXPECT_FALSE(decode(statusBytes.substr(0, statusBytes.size() - 2),
        [&](ACE_InputCDR& i) { return readDplStatusList(i, decoded); }));
    EXPECT_TRUE(decoded.entries.empty());
}

TEST(ListRecords, AHostileLinkedApplicationCountIsRefused)
{
    Expected hostile;
    hostile.u32(1);
    hostile.str("v");
    hostile.str("m");
    hostile.u32(0x7FFFFFFF);
    RepositoryAppList list;
    EXPECT_FALSE(decode(hostile.bytes(), [&](ACE_InputCDR& i) { return readRepositoryAppList(i, list); }));
}

TEST(ListRecords, ModuleDumpListsPackageModuleAndCreationTime)
{
    RepositoryAppList list;
    list.append(moduleEntry());
    const time_t when = 1700000000;
    char created[32];
    ASSERT_NE(ctime_r(&when, created), nullptr);
    EXPECT_EQ(dumpRepositoryAppList(list),
        std::string("Total Packages =  '1\n") + "\tPackage     'mod'\n" + "\tModule      'mod.zip'\n"
            + "\tCreated at  '" + created);
    EXPECT_EQ(dumpRepositoryAppList(RepositoryAppList {}), "Total Packages =  '0\n");
}

TEST(ListRecords, ASealedListEncodesAsItsRecordsDoAfterAnyPrefix)
{
    RepositoryAppList sealed;
    sealed.append(moduleEntry());
    sealed.append(RepositoryAppEntry {});
    sealed.append(moduleEntry());
    RepositoryAppList plain = sealed;
    sealed.seal();
    ASSERT_NE(sealed.wire(), nullptr);
    EXPECT_EQ(sealed, plain);

    // Prefixes of every length modulo 4 put the list at every alignment.
    for (size_t prefix = 0; prefix < 4; ++prefix) {
        auto withPrefix = [prefix](const RepositoryAppList& list) {
            return encoded([&](ACE_OutputCDR& o) {
                return o.write_char_array(
                           std::string(prefix, 'x').data(), static_cast<ACE_CDR::ULong>(prefix))
                    && writeRepositoryAppList(o, list);
            });
        };
        const std::string fromRecords = withPrefix(plain);
        const std::string fromSeal = withPrefix(sealed);
        // The sealed bytes follow the alignment padding as they are, taking
        // the room the records take (padding content is unspecified).
        const size_t listStart = (prefix + 3) / 4 * 4;
        ASSERT_EQ(fromSeal.size(), fromRecords.size()) << "prefix " << prefix;
        EXPECT_EQ(fromSeal.substr(listStart), *sealed.wire()) << "prefix " << prefix;

        RepositoryAppList decoded;
        EXPECT_TRUE(decode(fromSeal,
            [&](ACE_InputCDR& i) {
                std::string skipped(prefix, '\0');
                return i.read_char_array(skipped.data(), static_cast<ACE_CDR::ULong>(prefix))
                    && readRepositoryAppList(i, decoded);
            }))
            << "prefix " << prefix;
        EXPECT_EQ(decoded, plain) << "prefix " << prefix;
    }
}

TEST(ListRecords, ChangingASealedListDropsItsEncoding)
{
    RepositoryAppList list;
    list.append(moduleEntry());
    list.seal();
    list.append(RepositoryAppEntry {});
    EXPECT_EQ(list.wire(), nullptr);
    RepositoryAppList decoded;
    const std::string bytes = encoded([&](ACE_OutputCDR& o) { return writeRepositoryAppList(o, list); });
    ASSERT_TRUE(decode(bytes, [&](ACE_InputCDR& i) { return readRepositoryAppList(i, decoded); }));
    EXPECT_EQ(decoded.count(), 2u);

    list.seal();
    list.clear();
    EXPECT_EQ(list.wire(), nullptr);
    list.seal();
    list.assign({ moduleEntry() });
    EXPECT_EQ(list.wire(), nullptr);
}

TEST(ListRecords, ARecordCountBeyondThePayloadIsRefusedForEveryList)
{
    // A huge count before the bytes of one record: refused, nothing kept.
    Expected twoAnnounced;
    twoAnnounced.u32(0x7FFFFFFF);
    twoAnnounced.str("h");
    twoAnnounced.str("");
    twoAnnounced.u32(1);
    DplStatusList status;
    status.entries = { { "h0", HOST_RUNNING, "" } };
    EXPECT_FALSE(decode(twoAnnounced.bytes(), [&](ACE_InputCDR& i) { return readDplStatusList(i, status); }));
    EXPECT_TRUE(status.entries.empty());
    AppDplList packages;
    EXPECT_FALSE(decode(twoAnnounced.bytes(), [&](ACE_InputCDR& i) { return readAppDplList(i, packages); }));
    RepositoryAppList modules;
    EXPECT_FALSE(
        decode(twoAnnounced.bytes(), [&](ACE_InputCDR& i) { return readRepositoryAppList(i, modules); }));
    EXPECT_EQ(modules.count(), 0u);
}

TEST(ListRecords, ABigEndianSenderIsReadAsALittleEndianOne)
{
    // ACE writes in the host's order only, so the sender's bytes are built by hand.
    Expected sent(true);
    sent.u32(0); // the payload's flag byte (0: big-endian) and padding
    sent.u32(1);
    for (const char* text : { "1.2", "mod" })
        sent.str(text);
    sent.u32(1);
    sent.str("appA");
    for (const char* text : { "/c", "bob", "mod.zip" })
        sent.str(text);
    for (uint32_t number : { 1234u, 1700000000u, 1u })
        sent.u32(number);
    sent.u32(1);
    sent.str("h1");
    sent.str("boom");
    sent.u32(HOST_ERROR);
    ACE_Message_Block block(sent.bytes().size() + ACE_CDR::MAX_ALIGNMENT);
    ACE_CDR::mb_align(&block);
    block.copy(sent.bytes().data(), sent.bytes().size());

    auto in = makeInput(&block);
    ASSERT_TRUE(in);
    RepositoryAppList modules;
    DplStatusList status;
    ASSERT_TRUE(readRepositoryAppList(*in, modules) && readDplStatusList(*in, status));
    RepositoryAppEntry expected = moduleEntry();
    expected.linkedApps = { "appA" };
    ASSERT_EQ(modules.count(), 1u);
    EXPECT_EQ(modules.entries()[0], expected);
    ASSERT_EQ(status.entries.size(), 1u);
    EXPECT_EQ(status.entries[0], (DplStatusEntry { "h1", HOST_ERROR, "boom" }));
    EXPECT_EQ(in->length(), 0u);
}
