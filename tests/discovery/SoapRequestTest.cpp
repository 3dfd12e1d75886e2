#include <gtest/gtest.h>

#include <string>

#include "discovery/SoapRequest.h"

namespace {

const std::string kHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                          "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                          "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\n<s:Body>\n";
const std::string kTail = "\n</s:Body>\n</s:Envelope>\n";
const std::string kCd = "urn:schemas-upnp-org:service:ContentDirectory:1";

std::string Envelope(const std::string& action)
{
    return kHead + action + kTail;
}

std::string Browse(const std::string& objectId)
{
    return Envelope("<u:Browse xmlns:u=\"" + kCd + "\"><ObjectID>" + objectId +
                    "</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>"
                    "<StartingIndex>0</StartingIndex><RequestedCount>10</RequestedCount><SortCriteria></SortCriteria>"
                    "</u:Browse>");
}

TEST(SoapRequest, ReadsTheActionAndItsArguments)
{
    SSoapRequest request;
    const std::string body = Browse("0");
    ASSERT_EQ(ParseSoapRequest(body.data(), body.size(), request), ESoapParse::Request);
    EXPECT_EQ(request.Service, ESoapService::ContentDirectory);
    EXPECT_STREQ(request.Action, "Browse");
    EXPECT_EQ(request.nArguments, 6);
    const struct
    {
        const char* Name;
        const char* Value;
    } expected[] = {{"ObjectID", "0"}, {"BrowseFlag", "BrowseDirectChildren"}, {"Filter", "*"},
                    {"StartingIndex", "0"}, {"RequestedCount", "10"}, {"SortCriteria", ""}};
    for (const auto& e : expected)
    {
        ASSERT_NE(SoapArgument(request, e.Name), nullptr) << e.Name;
        EXPECT_STREQ(SoapArgument(request, e.Name), e.Value);
    }
    EXPECT_EQ(SoapArgument(request, "Nothing"), nullptr);
}

TEST(SoapRequest, TableOfBodies)
{
    const std::string cm = "urn:schemas-upnp-org:service:ConnectionManager:1";
    const std::string deep = kHead.substr(0, kHead.find("<s:Body>")) + "<s:Header><a><b><c><d><e><f><g></g></f></e></d></c></b></a></s:Header>" +
                             "<s:Body><u:X xmlns:u=\"" + kCd + "\"/>" + kTail;
    std::string manyArguments = "<u:X xmlns:u=\"" + kCd + "\">";
    for (int i = 0; i <= kSoapMaxArguments; ++i)
        manyArguments += "<A" + std::to_string(i) + ">1</A" + std::to_string(i) + ">";
    manyArguments += "</u:X>";
    const struct
    {
        const char* Name;
        std::string Body;
        ESoapParse Outcome;
        ESoapService Service;
        const char* Action;
        const char* ObjectId; // the ObjectID argument expected, or null
    } cases[] = {
        {"plain", Browse("0"), ESoapParse::Request, ESoapService::ContentDirectory, "Browse", "0"},
        {"references decoded", Browse("a&lt;&gt;&amp;&quot;&apos;&#65;&#x42;&#xe9;&#x1F600;"), ESoapParse::Request,
         ESoapService::ContentDirectory, "Browse", "a<>&\"'AB\xC3\xA9\xF0\x9F\x98\x80"},
        {"no declaration, default namespaces, single quotes",
         "<Envelope xmlns='http://schemas.xmlsoap.org/soap/envelope/'><Body><GetProtocolInfo xmlns='" + cm +
             "'/></Body></Envelope>",
         ESoapParse::Request, ESoapService::ConnectionManager, "GetProtocolInfo", nullptr},
        {"header skipped", kHead.substr(0, kHead.find("<s:Body>")) + "<s:Header><x:A xmlns:x=\"y\">t &amp; u<x:B/></x:A></s:Header>" +
             "<s:Body><u:GetSystemUpdateID xmlns:u=\"" + kCd + "\"/>" + kTail,
         ESoapParse::Request, ESoapService::ContentDirectory, "GetSystemUpdateID", nullptr},
        {"another service", Envelope("<u:Browse xmlns:u=\"urn:schemas-upnp-org:service:AVTransport:1\"/>"),
         ESoapParse::Request, ESoapService::Unknown, "Browse", nullptr},
        {"byte order mark", "\xEF\xBB\xBF" + Browse("7"), ESoapParse::Request, ESoapService::ContentDirectory, "Browse", "7"},
        {"DOCTYPE", "<!DOCTYPE x [<!ENTITY a \"b\">]>" + Browse("&a;"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"undefined entity", Browse("&a;"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"reference to NUL", Browse("&#0;"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"reference to a surrogate", Browse("&#xD800;"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"reference beyond Unicode", Browse("&#x110000;"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"unterminated reference", Browse("&amp"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"comment", Browse("<!-- x -->0"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"CDATA", Browse("<![CDATA[0]]>"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"processing instruction", Browse("<?x y?>0"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"element inside an argument", Browse("<a>0</a>"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"mismatched end tag", Envelope("<u:Browse xmlns:u=\"" + kCd + "\"><ObjectID>0</Filter></u:Browse>"),
         ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"argument twice", Envelope("<u:Browse xmlns:u=\"" + kCd + "\"><ObjectID>0</ObjectID><ObjectID>1</ObjectID></u:Browse>"),
         ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"too many arguments", Envelope(manyArguments), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"undeclared prefix", Envelope("<u:Browse/>"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"no body", kHead.substr(0, kHead.find("<s:Body>")) + "</s:Envelope>", ESoapParse::Malformed,
         ESoapService::Unknown, "", nullptr},
        {"empty body", Envelope(""), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"two actions", Envelope("<u:A xmlns:u=\"" + kCd + "\"/><u:B xmlns:u=\"" + kCd + "\"/>"), ESoapParse::Malformed,
         ESoapService::Unknown, "", nullptr},
        {"wrong envelope namespace",
         "<s:Envelope xmlns:s=\"urn:x\"><s:Body><u:A xmlns:u=\"" + kCd + "\"/></s:Body></s:Envelope>",
         ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"text beside the action", Envelope("x<u:A xmlns:u=\"" + kCd + "\"/>"), ESoapParse::Malformed,
         ESoapService::Unknown, "", nullptr},
        {"something after the envelope", Browse("0") + "<x/>", ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"cut short", Browse("0").substr(0, 200), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"NUL in a value", Browse(std::string("a\0b", 3)), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"value too long", Browse(std::string(kSoapValueCapacity, 'x')), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"name too long", Envelope("<u:" + std::string(kSoapNameCapacity, 'A') + " xmlns:u=\"" + kCd + "\"/>"),
         ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"nested too deep", deep, ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"attribute without a blank before it", Envelope("<u:A xmlns:u=\"" + kCd + "\"b=\"c\"/>"), ESoapParse::Malformed,
         ESoapService::Unknown, "", nullptr},
        {"attribute without quotes", Envelope("<u:A xmlns:u=" + kCd + "/>"), ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
        {"too large", Browse("0") + std::string(kSoapBodyMaxSize, ' '), ESoapParse::TooLarge, ESoapService::Unknown, "", nullptr},
        {"empty", "", ESoapParse::Malformed, ESoapService::Unknown, "", nullptr},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        SSoapRequest request;
        EXPECT_EQ(ParseSoapRequest(c.Body.data(), c.Body.size(), request), c.Outcome);
        EXPECT_EQ(request.Service, c.Service);
        EXPECT_STREQ(request.Action, c.Action);
        if (c.ObjectId != nullptr)
        {
            ASSERT_NE(SoapArgument(request, "ObjectID"), nullptr);
            EXPECT_STREQ(SoapArgument(request, "ObjectID"), c.ObjectId);
        }
        if (c.Outcome != ESoapParse::Request)
        {
            EXPECT_EQ(request.nArguments, 0);
        }
    }
}

TEST(SoapRequest, LongestValueThatFitsIsKept)
{
    const std::string value(kSoapValueCapacity - 1, 'v');
    SSoapRequest request;
    const std::string body = Browse(value);
    ASSERT_EQ(ParseSoapRequest(body.data(), body.size(), request), ESoapParse::Request);
    EXPECT_EQ(SoapArgument(request, "ObjectID"), value);
}

} // namespace
