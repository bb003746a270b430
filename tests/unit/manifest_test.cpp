#include "manifest/update_manifest.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "double/fixture.h"
#include "double/http.h"
#include "engine/context.h"

namespace {

std::string ParseError(std::string_view document) {
  UpdateManifest manifest;
  try {
    ParseManifest(manifest, document);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(parsed)";
}

UpdateManifest Parse(std::string_view document) {
  UpdateManifest manifest;
  ParseManifest(manifest, document);
  return manifest;
}

class ManifestLoadTest : public DoubleTest {
 protected:
  std::string LoadError(Setup::Context& context) {
    try {
      context.LoadManifest();
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "(loaded)";
  }
};

}  // namespace

TEST(Manifest, FullDocumentInOrderWithUnknownKeysIgnored) {
  const UpdateManifest manifest = Parse(R"({
    "version": 3, "app_version": "2.1.0", "extra": {"x": 1},
    "prereqs": [{"file": "vc.exe", "id": "VC", "name": "Runtime \u00e9", "url": "https://h/vc.exe",
                 "sha256": "ab", "params": "/q", "params-repair": "/repair", "archs": ["x64", 7, "arm64"], "z": 0}],
    "files": [{"path": "bin\\a.dll", "version": "1760000000", "url": "https://h/a", "sha256": "cd", "size": 12},
              {"path": "b.txt", "version": "abc"}, {"path": "c.txt"}, {"path": "d", "version": "  -12x"}],
    "zips": [{"url": "https://h/z.zip"}, {}]})");
  EXPECT_EQ(manifest.version, 3);
  EXPECT_EQ(manifest.appVersion, L"2.1.0");
  ASSERT_EQ(manifest.prerequisites.size(), 1u);
  const Prerequisite& vc = manifest.prerequisites[0];
  EXPECT_EQ(vc.file, L"vc.exe");
  EXPECT_EQ(vc.name, L"Runtime \u00e9");
  EXPECT_EQ(vc.paramsRepair, L"/repair");
  EXPECT_EQ(vc.archs, (std::vector<std::wstring>{L"x64", L"arm64"}));
  ASSERT_EQ(manifest.files.size(), 4u);
  EXPECT_EQ(manifest.files[0].path, L"bin\\a.dll");
  EXPECT_EQ(manifest.files[0].version, 1760000000);
  EXPECT_EQ(manifest.files[0].size, 12u);
  EXPECT_FALSE(manifest.files[1].size);
  EXPECT_EQ(manifest.files[1].version, 0);
  EXPECT_EQ(manifest.files[2].version, 0);
  EXPECT_EQ(manifest.files[2].url, L"");
  EXPECT_EQ(manifest.files[3].version, -12);
  EXPECT_EQ(manifest.zips, (std::vector<std::wstring>{L"https://h/z.zip", L""}));
}

TEST(Manifest, VersionTakesNumbersAndBooleansTruncated) {
  EXPECT_EQ(Parse(R"({"version": true})").version, 1);
  EXPECT_EQ(Parse(R"({"version": 2.9})").version, 2);
  EXPECT_EQ(Parse(R"({"version": -2.9})").version, -2);
  // Beyond 32 bits a floating value saturates; converting it would be undefined.
  EXPECT_EQ(Parse(R"({"version": 1e10})").version, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(Parse(R"({"version": -1e300})").version, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(Parse(R"({"version": 2147483647.5})").version, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(Parse(R"({"version": 3, "prereqs": null, "files": null})").files.size(), 0u);
}

TEST(Manifest, TypeErrorsCarryTheJsonLibrarysTexts) {
  EXPECT_EQ(ParseError(R"({})"), "[json.exception.type_error.302] type must be number, but is null");
  EXPECT_EQ(ParseError("null"), "[json.exception.type_error.302] type must be number, but is null");
  EXPECT_EQ(ParseError(R"({"version": "3"})"), "[json.exception.type_error.302] type must be number, but is string");
  EXPECT_EQ(ParseError(R"({"version": 3, "app_version": 2})"),
            "[json.exception.type_error.302] type must be string, but is number");
  EXPECT_EQ(ParseError(R"({"version": 3, "files": [{"path": "a", "version": 5}]})"),
            "[json.exception.type_error.302] type must be string, but is number");
  EXPECT_EQ(ParseError(R"({"version": 3, "prereqs": [1]})"),
            "[json.exception.type_error.306] cannot use value() with number");
  EXPECT_EQ(ParseError(R"({"version": 3, "zips": ["u"]})"),
            "[json.exception.type_error.306] cannot use value() with string");
  EXPECT_EQ(ParseError("[1]"),
            "[json.exception.type_error.305] cannot use operator[] with a string argument with array");
  EXPECT_EQ(ParseError("// c\n{\"version\": 1}").rfind("[json.exception.parse_error.101]", 0), 0u);
}

// Paths from the manifest are joined to the install or temporary folder; one
// that climbs out of it is refused before anything is downloaded.
TEST(Manifest, PathsThatLeaveTheirFolderAreRefused) {
  for (const char* path : {"..\\\\evil.dll", "a/../../b", "C:\\\\Windows\\\\x.dll", "\\\\\\\\server\\\\share", "/etc/x",
                           "a.dll:stream", "bin\\\\...\\\\x", "", "a\\\\\\\\b", "dir\\\\. .\\\\x"}) {
    const std::string document = std::string(R"({"version": 1, "files": [{"path": ")") + path + "\"}]}";
    EXPECT_EQ(ParseError(document).rfind("Refusing file path", 0), 0u) << path;
  }
  EXPECT_EQ(ParseError(R"({"version": 1, "prereqs": [{"file": "..\\x.exe"}]})").rfind("Refusing file path", 0), 0u);
  // An installer lives directly in the prerequisite folder: a name with a
  // folder in it is refused, whichever separator it uses.
  EXPECT_EQ(ParseError(R"({"version": 1, "prereqs": [{"file": "sub\\x.exe"}]})"),
            "Refusing installer file name \"sub\\x.exe\": a single name is required, not a folder");
  EXPECT_EQ(ParseError(R"({"version": 1, "prereqs": [{"file": "sub/x.exe"}]})").rfind("Refusing installer file", 0),
            0u);
  EXPECT_EQ(ParseError(R"({"version": 1, "files": [{"path": "bin\\sub\\a..b.dll"}, {"path": "x/y.txt"}]})"),
            "(parsed)");
  for (const char* size : {"-1", "\"12\"", "1.5"}) {
    EXPECT_EQ(ParseError(std::string(R"({"version": 1, "files": [{"path": "a", "size": )") + size + "}]}"),
              "\"a\" has a size that is not a number of bytes");
  }
}

TEST_F(ManifestLoadTest, LoadReportsStatusAndCountAndWrapsFailures) {
  Double::Http::Serve(ManifestUrl(), {200, R"({"version": 3, "files": [{"path": "a", "size": 5}, {"path": "b"}]})"});
  Setup::Context context;
  std::vector<std::wstring> statuses;
  context.onStatus = [&](std::wstring_view text) { statuses.emplace_back(text); };
  EXPECT_EQ(LoadError(context), "(loaded)");
  EXPECT_EQ(statuses, std::vector<std::wstring>{L"Downloading manifest.."});
  EXPECT_TRUE(HasLogLine("INFO|Manifest loaded (2 files)"));
  EXPECT_FALSE(context.manifest.files[0].size) << "nothing vouches for the size of a manifest without a statement";
  EXPECT_EQ(ManifestUrl(), L"https://localhost:8443/update/v2/windows.json");

  Double::Http::Serve(ManifestUrl(), {500, "oops"});
  Setup::Context failing;
  EXPECT_EQ(LoadError(failing), "Unable to download manifest: HTTP error 500");
  Double::Http::Serve(ManifestUrl(), {200, "null"});
  EXPECT_EQ(LoadError(failing),
            "Unable to download manifest: [json.exception.type_error.302] type must be number, but is null");
  Double::Http::Serve(ManifestUrl(), {200, std::string(kManifestSizeLimit + 1, ' ')});
  EXPECT_EQ(LoadError(failing), "Unable to download manifest: Manifest is larger than 16 MiB");
}
