// The settings-file reader: the file Veltrin writes, the fields discovery honours, defaults
// for everything missing or malformed, and hostile text cleaned; the text cleaner itself.

#include "Discovery.h"
#include "SafeText.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <tuple>
#include <unistd.h>

using namespace veltrin::rt;

namespace {

// The exact text the controller writes at every start.
const char *kVeltrinFile =
    "{\"ndi\":{\"networks\":{\"ips\":\"\",\"discovery\":\"\"},\"machinename\":\"\",\"tcp\":{"
    "\"send\":{\"enable\":false},\"recv\":{\"enable\":false}},\"rudp\":{\"send\":{\"enable\":true},"
    "\"recv\":{\"enable\":true}},\"groups\":{\"send\":\"Public\",\"recv\":\"Public\"},\"unicast\":{"
    "\"send\":{\"enable\":false},\"recv\":{\"enable\":false}},\"adapters\":{\"allowed\":[]},"
    "\"multicast\":{\"send\":{\"ttl\":1,\"enable\":false,\"netmask\":\"255.255.0.0\",\"netprefix\":"
    "\"239.255.0.0\"},\"recv\":{\"enable\":true}}}}";

using Strings = std::vector<std::string>;

// Machine name, addresses, send and receive groups, adapters.
std::vector<Strings> fields(const DiscoveryConfig &c)
{
    return {{c.machineName}, c.extraIps, c.sendGroups, c.recvGroups, c.allowedAdapters};
}

const std::vector<Strings> kDefaults = fields(DiscoveryConfig{});

} // namespace

// Veltrin's own file means defaults in the public group; the fields discovery honours are
// trimmed, split, lower-cased (groups) and filtered (addresses); the last of repeated keys
// counts, and escapes and numbers are read as JSON has them. Hostile names are cleaned and cut,
// with one line in the log for each kind of repair, naming a field it was found in. Malformed
// texts give defaults.
TEST(DiscoveryConfig, FieldsReadFromTheText)
{
    const std::string veltrin = kVeltrinFile, fffd = "\xEF\xBF\xBD";
    // Text, the fields read, what the log says (a line each).
    std::vector<std::tuple<std::string, std::vector<Strings>, Strings>> cases = {
        {veltrin, {{""}, {}, {"public"}, {"public"}, {}}, {}},
        {R"({"ndi": {
        "networks": {"ips": " 10.0.0.5, 192.168.1.7 ,not-an-ip,,300.1.1.1"},
        "machinename": "first", "n": [-12.5e1, 0, true, false, null, {}],
        "machinename": " Caf\u00e9 \ud83c\udfa7 \"q\" \\ \/ ",
        "groups": {"send": "Studio AZ, Public", "recv": "studio az"},
        "adapters": {"allowed": ["eth0", "10.1.1.1", 7, ""]}}})",
         {{"Caf\xC3\xA9 \xF0\x9F\x8E\xA7 \"q\" \\ /"},
          {"10.0.0.5", "192.168.1.7"},
          {"studio az", "public"},
          {"studio az"},
          {"eth0", "10.1.1.1"}},
         {}},
        {R"({"ndi": {"machinename": ")" + std::string(10000, 'x')
             + R"(", "groups": {"send": "studio\u0000a, \u001b[31mred, )"
               "\xff\xfe"
               R"(", "recv": "\t\n"},
        "adapters": {"allowed": ["eth0\r\n", "\u202eoh"]}}})",
         {{std::string(63, 'x')},
          {},
          {"studio" + fffd + "a", fffd + "[31mred", fffd + fffd},
          {}, // nothing but blanks once the controls are gone
          {"eth0", fffd + "oh"}},
         {"ndi.machinename in ~/.ndi/ndi-config.v1.json was too long", "held control characters",
          "not UTF-8"}}};
    Strings malformed = {
        "",
        "not json",
        R"(["ndi"])",
        veltrin + "x",
        veltrin.substr(0, 200),
        std::string(100000, '[') + std::string(100000, ']'),
        R"({"ndi": {"networks": {"ips": 10}, "machinename": null, "adapters": {"allowed": "eth0"}}})"};
    for (const char *bad : {"01", "1.", "-", "[1,]", "{\"a\" 1}", "{\"a\": 1,}", "\"tab\tinside\"",
                            "tru", R"("bad \q escape")", R"("lone \udc00 surrogate")"})
        malformed.push_back(std::string(R"({"ndi": {"machinename": "a"}, "x": )") + bad + "}");
    for (const std::string &text : malformed)
        cases.push_back({text, kDefaults, {}});
    for (const auto &[text, expected, logged] : cases) {
        testing::internal::CaptureStderr();
        const DiscoveryConfig c = DiscoveryConfig::parse(text);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(fields(c), expected) << text.substr(0, 60);
        for (const std::string &line : logged)
            EXPECT_NE(said.find(line), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), std::ptrdiff_t(logged.size()))
            << said;
    }
}

TEST(SafeText, RepairsReplaceCutAndKeepWhatIsValid)
{
    const std::string fffd = "\xEF\xBF\xBD";
    // Raw text, bytes at most, clean text, repairs.
    const std::tuple<std::string, size_t, std::string, unsigned> cases[] = {
        {"Studio \xC3\x9C \xE2\x82\xAC \xF0\x9F\x8E\xA4", 64,
         "Studio \xC3\x9C \xE2\x82\xAC \xF0\x9F\x8E\xA4", 0},
        // Overlong forms, surrogates and code points past U+10FFFF: one U+FFFD for each
        // maximal invalid subsequence, as Unicode recommends.
        {"a\xC0\xAF"
         "b",
         64, "a" + fffd + fffd + "b", kTextInvalidUtf8},
        {"\xED\xA0\x80", 64, fffd + fffd + fffd, kTextInvalidUtf8},
        {"\xF4\x90\x80\x80", 64, fffd + fffd + fffd + fffd, kTextInvalidUtf8},
        {"\xE2\x82", 64, fffd, kTextInvalidUtf8},
        {"\xF0\x9F\x8E", 64, fffd, kTextInvalidUtf8},
        // Controls: breaks and tabs become spaces, the rest U+FFFD (C1 and bidi included).
        {"a\tb\r\nc", 64, "a b  c", kTextControl},
        {std::string("a\0b\x7f", 4) + "\xC2\x85\xC2\x9B\xE2\x80\xAE\xE2\x81\xA9", 64,
         "a" + fffd + "b" + fffd + " " + fffd + fffd + fffd, kTextControl},
        // Cut at a character boundary, never inside a sequence.
        {"\xC3\xA9\xC3\xA9\xC3\xA9", 5, "\xC3\xA9\xC3\xA9", kTextTooLong},
        {"ab\x01", 2, "ab", kTextTooLong},
        {"ab", 2, "ab", 0},
    };
    for (const auto &[raw, maxBytes, text, faults] : cases) {
        const CleanText clean = cleanText(raw, maxBytes), again = cleanText(clean.text, maxBytes);
        EXPECT_EQ(std::tie(clean.text, clean.faults), std::tie(text, faults)) << raw;
        // Clean text stays as it is.
        EXPECT_EQ(std::tie(again.text, again.faults), std::make_tuple(text, 0u)) << raw;
    }
}

// load() reads $HOME/.ndi/ndi-config.v1.json and gives defaults when it is missing or is no
// file; source names are "MACHINE (name)", the host name's first label when no machine name
// is set.
TEST(DiscoveryConfig, LoadFromHomeAndSourceNames)
{
    namespace fs = std::filesystem;
    const fs::path home =
        fs::temp_directory_path() / ("veltrin-config-" + std::to_string(getpid()));
    const fs::path file = home / ".ndi" / "ndi-config.v1.json";
    fs::remove_all(home);
    fs::create_directories(home / ".ndi");
    const std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(fields(DiscoveryConfig::load()), kDefaults) << "missing file";
    std::ofstream(file) << R"({"ndi":{"machinename":"booth-2"}})";
    EXPECT_EQ(sourceName(DiscoveryConfig::load(), "Mic 1"), "BOOTH-2 (Mic 1)");
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_EQ(fields(DiscoveryConfig::load()), kDefaults) << "a directory";
    setenv("HOME", saved.c_str(), 1);
    fs::remove_all(home);

    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string expected = std::string(host).substr(0, std::string(host).find('.')) + " (X)";
    std::transform(expected.begin(), expected.end(), expected.begin(), ::toupper);
    EXPECT_EQ(sourceName(DiscoveryConfig{}, "X"), expected);
}
