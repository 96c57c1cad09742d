// The SSL driver argument: "SSL[NAME=value,...]".

#include "zephcomm/driver/SslDriverArgument.h"

#include <gtest/gtest.h>

namespace {

using zephcommSslTcpDrv::kMaxArgumentValue;
using zephcommSslTcpDrv::parseSslDriverArgument;

TEST(SslDriverArgument, EveryNameOfTheTableIsTakenAndEmptyMeansTheDefault)
{
    for (const char* text : { static_cast<const char*>(nullptr), "", "SSL[]", "SSL[CIPHER=]" }) {
        auto parsed = parseSslDriverArgument(text);
        ASSERT_TRUE(parsed.has_value()) << (text ? text : "null");
        EXPECT_TRUE(parsed->cipher.empty());
        EXPECT_TRUE(parsed->serverAuth.empty());
        EXPECT_FALSE(parsed->asn1());
    }
    // The prefix ignores case; values keep their characters; the last of two wins.
    auto parsed = parseSslDriverArgument("sSl[CIPHER=ECDHE+AESGCM:!aNULL:@SECLEVEL=2,FILETYPE=ASN1,"
                                         "CERTIFICATE=/c.der,PRIVATE_KEY=/k.der,CAFILE=/a,CAFILE=/ca.pem,"
                                         "CAPATH=/certs,SERVER_AUTH={db.example}]");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->cipher, "ECDHE+AESGCM:!aNULL:@SECLEVEL=2");
    EXPECT_TRUE(parsed->asn1());
    EXPECT_EQ(parsed->certificate, "/c.der");
    EXPECT_EQ(parsed->privateKey, "/k.der");
    EXPECT_EQ(parsed->caFile, "/ca.pem");
    EXPECT_EQ(parsed->caPath, "/certs");
    EXPECT_EQ(parsed->serverAuth, "{db.example}");
    // Only "ASN1" selects DER; anything else is PEM.
    EXPECT_FALSE(parseSslDriverArgument("SSL[FILETYPE=pem]")->asn1());
}

TEST(SslDriverArgument, MalformedArgumentsAreRefused)
{
    for (const char* text : { "S", "SSL", "SSL CIPHER=x", "SSLX[CIPHER=x]", "TLS[CIPHER=x]", "SSL[CIPHER=x",
             "SSL[CIPHER=x]tail", "SSL[COLOR=red]", "SSL[cipher=x]", "SSL[CIPHER]", "SSL[CIPHER=x,]",
             "SSL[=x]", "SSL[CIPHER=x,,CAFILE=y]" }) {
        EXPECT_FALSE(parseSslDriverArgument(text).has_value()) << text;
    }
}

TEST(SslDriverArgument, ValuesAreLimitedTo1024Characters)
{
    const std::string longest(kMaxArgumentValue, 'a');
    auto parsed = parseSslDriverArgument(("SSL[CERTIFICATE=" + longest + "]").c_str());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->certificate, longest);
    EXPECT_FALSE(parseSslDriverArgument(("SSL[CERTIFICATE=" + longest + "a]").c_str()).has_value());
}

} // namespace
