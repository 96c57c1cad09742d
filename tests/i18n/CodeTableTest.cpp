// Walks the code table and the message numbers: every entry must have a
// text that formats with the parameters its raising sites pass, and no text
// may name a placeholder beyond them.

#include "i18n/CatalogueFixture.h"

#include "common/ResultCodes.h"

#include <unicode/messagepattern.h>
#include <unicode/ures.h>

#include <map>
#include <set>

namespace kav {
namespace {

using test::CatalogueTest;

std::string sentinel(unsigned index)
{
    return "<<param" + std::to_string(index) + ">>";
}

Params sentinels(unsigned count)
{
    Params params;
    for (unsigned i = 0; i < count; ++i)
        params.push_back(sentinel(i));
    return params;
}

// Every text of a locale's bundle, by key, read straight from ICU (no fallback).
std::map<std::string, icu::UnicodeString> patternsOf(const char* locale)
{
    std::map<std::string, icu::UnicodeString> patterns;
    UErrorCode status = U_ZERO_ERROR;
    UResourceBundle* bundle = ures_openDirect(NarvI18n::kBundleName, locale, &status);
    EXPECT_TRUE(U_SUCCESS(status)) << locale << ": " << u_errorName(status);
    while (U_SUCCESS(status) && ures_hasNext(bundle)) {
        UResourceBundle* item = ures_getNextResource(bundle, nullptr, &status);
        int32_t length = 0;
        const UChar* text = ures_getString(item, &length, &status);
        if (U_SUCCESS(status))
            patterns[ures_getKey(item)] = icu::UnicodeString(text, length);
        ures_close(item);
    }
    ures_close(bundle);
    return patterns;
}

// The highest argument number a pattern names, -1 when none.
int highestArgument(const icu::UnicodeString& pattern, UErrorCode& status)
{
    icu::MessagePattern parsed(pattern, nullptr, status);
    int highest = -1;
    for (int32_t i = 0; U_SUCCESS(status) && i < parsed.countParts(); ++i) {
        const icu::MessagePattern::Part& part = parsed.getPart(i);
        if (part.getType() == UMSGPAT_PART_TYPE_ARG_NUMBER)
            highest = std::max(highest, static_cast<int>(part.getValue()));
    }
    return highest;
}

std::map<uint32_t, unsigned> allowedParamCounts()
{
    std::map<uint32_t, unsigned> counts;
    for (const auto& entry : rc::kAllResultCodes)
        counts[rc::messageNumber(entry.code)]
            = std::max(counts[rc::messageNumber(entry.code)], entry.paramCount);
    for (const auto& entry : msg::kAllMessageNumbers)
        counts[entry.number] = std::max(counts[entry.number], entry.paramCount);
    return counts;
}

TEST_F(CatalogueTest, EveryResultCodeFormatsWithAllItsParameters)
{
    for (const auto& entry : rc::kAllResultCodes) {
        SCOPED_TRACE(entry.name);
        std::string out;
        ASSERT_EQ(
            NarvI18n::instance().i18n(static_cast<uint32_t>(entry.code), sentinels(entry.paramCount), out),
            0);
        EXPECT_FALSE(out.empty());
        for (unsigned i = 0; i < entry.paramCount; ++i)
            EXPECT_NE(out.find(sentinel(i)), std::string::npos) << "parameter " << i << " unused: " << out;
        EXPECT_EQ(out.find('{'), std::string::npos) << out;
    }
}

TEST_F(CatalogueTest, EveryMessageNumberFormats)
{
    for (const auto& entry : msg::kAllMessageNumbers) {
        SCOPED_TRACE(entry.name);
        std::string out;
        ASSERT_EQ(NarvI18n::instance().i18n(entry.number, sentinels(entry.paramCount), out), 0);
        EXPECT_FALSE(out.empty());
        EXPECT_EQ(out.find('{'), std::string::npos) << out;
    }
}

TEST_F(CatalogueTest, NoTextNamesAPlaceholderBeyondItsParameters)
{
    const auto allowed = allowedParamCounts();
    for (const char* locale : { "root", "de" }) {
        const auto patterns = patternsOf(locale);
        EXPECT_FALSE(patterns.empty()) << locale;
        for (const auto& [key, pattern] : patterns) {
            SCOPED_TRACE(std::string(locale) + " key " + key);
            auto found = allowed.find(static_cast<uint32_t>(std::stoul(key)));
            ASSERT_NE(found, allowed.end()) << "text for a number that no table names";
            UErrorCode status = U_ZERO_ERROR;
            int highest = highestArgument(pattern, status);
            ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
            EXPECT_LT(highest, static_cast<int>(found->second));
        }
    }
}

TEST_F(CatalogueTest, TranslationHasNoKeyTheRootLacks)
{
    const auto root = patternsOf("root");
    for (const auto& [key, pattern] : patternsOf("de"))
        EXPECT_TRUE(root.count(key)) << key;
}

} // namespace
} // namespace kav
