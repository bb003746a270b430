#include "commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "base64url.h"
#include "ed25519.h"
#include "manifest/manifest_statement.h"
#include "manifest_writer.h"
#include "signing.h"
#include "statement.h"

namespace Release {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "Usage: valdrix-release <command> [options]\n"
    "\n"
    "Commands:\n"
    "  manifest --files DIR --base-url URL [--prereqs FILE.json] [--app-version V] --out windows.json\n"
    "           [--key PRIVATE[,PRIVATE] [--expires 30d|2027-01-31[T12:00:00Z]] [--serial N]]\n"
    "      Writes the update manifest for the product files in DIR (published at URL/<path>).\n"
    "      With --key it also writes the signed statement windows.json.sig beside it, signed by each\n"
    "      manifest key (two during a rotation), expiring after --expires (default 30d), with the\n"
    "      serial --serial (default: the current time in seconds).\n"
    "  verify-manifest --manifest windows.json [--statement windows.json.sig] --key PUBLIC[,PUBLIC]\n"
    "      Checks a published pair as a setup with these keys would: a signature, the digest, the\n"
    "      expiry. Exits 1 when the setup would refuse it.\n"
    "      FILE.json lists prerequisites: [{\"file\", \"id\", \"name\", \"source\" (installer, relative\n"
    "      to FILE.json), \"params\", \"params-repair\", \"archs\", optional \"url\"}]; without \"url\"\n"
    "      an installer is published at URL/prereqs/<file>.\n"
    "  keygen --out-private FILE --out-public FILE\n"
    "      Creates an Ed25519 key pair. The public file holds the text served at /api/signkey.\n"
    "  token --key PRIVATE [--type uninstall] [--subject S] [--issued-at UNIX]\n"
    "      Prints a signed token for \"/token=\" (valid for 300 seconds after issued-at).\n"
    "  sign --in FILE --cert CERT.pem --key KEY.pem [--chain CHAIN.pem] [--timestamp-url URL] --out SIGNED\n"
    "      Signs an executable (Authenticode, SHA-256) with osslsigncode and checks the result.\n"
    "  verify-signature --in FILE --ca CA.pem\n"
    "      Verifies an executable's signature and its chain to CA.pem; exits 1 when it does not verify.\n"
    "  serve --root DIR [--port N] [--log FILE] [more, see serve --help]\n"
    "      Runs the loopback HTTPS update server on DIR (default port 8443).\n"
    "  help\n"
    "      Shows this text.\n";

constexpr const char* kServeUsage =
    "Usage: valdrix-release serve --root DIR [options]\n"
    "\n"
    "Serves DIR over HTTPS on loopback (address it as \"localhost\") and takes crash reports.\n"
    "  --port N               port (default 8443); --host A: address (default 127.0.0.1)\n"
    "  --cert PEM --key PEM   server certificate; without them a throw-away test CA and a\n"
    "                         \"localhost\" certificate are made in, and taken from, --ca-dir\n"
    "                         (default: build/e2e-ca of the source tree)\n"
    "  --log FILE             appends \"<method> <path> <status>\" per request (alias --request-log)\n"
    "  --control JSON         misbehaviour per path: chunked, lowercase, blanks, redirect, cut, slow,\n"
    "                         or a status: {\"/update/v2/windows.json.sig\": {\"status\": 404}} hides the\n"
    "                         manifest's statement\n"
    "  --ingest-dir DIR       where received crash reports are kept (default: under the temp folder)\n"
    "  --ingest-project ID    accepted project (default 42); --ingest-key KEY: accepted public key\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "--name value" and "--name=value"; every option takes a value.
std::map<std::string, std::string> ParseOptions(const std::vector<std::string>& args, size_t first,
                                                std::initializer_list<const char*> known) {
  std::map<std::string, std::string> options;
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!arg.starts_with("--")) throw UsageError(fmt::format("unexpected argument \"{}\"", arg));
    std::string name = arg.substr(2);
    std::string value;
    if (const size_t equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    } else {
      if (i + 1 >= args.size()) throw UsageError(fmt::format("option --{} needs a value", name));
      value = args[++i];
    }
    if (std::find_if(known.begin(), known.end(), [&](const char* k) { return name == k; }) == known.end())
      throw UsageError(fmt::format("unknown option --{}", name));
    if (!options.emplace(name, value).second) throw UsageError(fmt::format("option --{} given twice", name));
  }
  return options;
}

const std::string& Required(const std::map<std::string, std::string>& options, const char* name) {
  const auto found = options.find(name);
  if (found == options.end() || found->second.empty()) throw UsageError(fmt::format("missing --{}", name));
  return found->second;
}

void WriteFile(const fs::path& path, const std::string& content, fs::perms perms) {
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error(fmt::format("Unable to write \"{}\"", path.string()));
    out << content;
    if (!out.flush()) throw std::runtime_error(fmt::format("Unable to write \"{}\"", path.string()));
  }
  fs::permissions(temporary, perms);
  fs::rename(temporary, path);
}

// Creates `path` with only the owner able to read and write it, from the
// first byte on; an existing file (or link) at the name is an error, never
// replaced or followed.
void WritePrivateFile(const fs::path& path, const std::string& content) {
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    if (errno == EEXIST)
      throw std::runtime_error(fmt::format("\"{}\" already exists; not replacing a private key", path.string()));
    throw std::runtime_error(fmt::format("Unable to write \"{}\": {}", path.string(), std::strerror(errno)));
  }
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(descriptor, content.data() + written, content.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool complete = written == content.size() && ::fsync(descriptor) == 0;
  ::close(descriptor);
  if (!complete) {
    ::unlink(path.c_str());
    throw std::runtime_error(fmt::format("Unable to write \"{}\"", path.string()));
  }
}

// The file's text; without `trim`, its exact bytes.
std::string ReadText(const fs::path& path, bool trim = true) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(fmt::format("Unable to read \"{}\"", path.string()));
  std::stringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  while (trim && !text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> CommaList(const std::string& text) {
  std::vector<std::string> items;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find(',', start), text.size());
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

int64_t Serial(const std::map<std::string, std::string>& options) {
  if (!options.contains("serial")) return Now();
  const std::string& text = options.at("serial");
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(fmt::format("--serial \"{}\" is not a number of at most 18 digits", text));
  return std::stoll(text);
}

// windows.json.sig beside the manifest just written, over its exact bytes.
void WriteStatement(const fs::path& manifest, const std::map<std::string, std::string>& options, std::ostream& out) {
  std::vector<KeyPair> keys;
  for (const std::string& path : CommaList(options.at("key"))) keys.push_back(ReadPrivateKey(ReadText(path)));
  const int64_t now = Now();
  const int64_t expires = ParseExpiry(options.contains("expires") ? options.at("expires") : "30d", now);
  const int64_t serial = Serial(options);
  const fs::path target = manifest.string() + ".sig";
  WriteFile(target, MakeStatement(ReadText(manifest, false), keys, serial, expires),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  out << fmt::format("Wrote {} (serial {}, expires {}, {} signature(s))\n", target.string(), serial,
                     ManifestStatement::UtcText(expires), keys.size());
  if (expires <= now) out << "Note: this statement has already expired; setups will refuse it\n";
}

int Manifest(const std::vector<std::string>& args, std::ostream& out) {
  const auto options =
      ParseOptions(args, 1, {"files", "base-url", "prereqs", "app-version", "out", "key", "expires", "serial"});
  if (!options.contains("key") && (options.contains("expires") || options.contains("serial")))
    throw UsageError("--expires and --serial belong to the statement, which needs --key");
  ManifestOptions manifestOptions{Required(options, "files"), Required(options, "base-url"), std::nullopt,
                                  options.contains("app-version") ? options.at("app-version") : ""};
  if (options.contains("prereqs")) manifestOptions.prereqsFile = options.at("prereqs");
  const fs::path target = Required(options, "out");
  const nlohmann::json manifest = BuildManifest(manifestOptions);
  WriteFile(target, manifest.dump(2) + "\n",
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  out << fmt::format("Wrote {} ({} files, {} prerequisites)\n", target.string(), manifest["files"].size(),
                     manifest["prereqs"].size());
  if (options.contains("key")) WriteStatement(target, options, out);
  return 0;
}

// Reads public keys only: checking needs no private key.
int VerifyManifest(const std::vector<std::string>& args, std::ostream& out) {
  const auto options = ParseOptions(args, 1, {"manifest", "statement", "key"});
  const fs::path manifest = Required(options, "manifest");
  const fs::path statement =
      options.contains("statement") ? fs::path(options.at("statement")) : fs::path(manifest.string() + ".sig");
  std::vector<std::string> keys;
  for (const std::string& path : CommaList(Required(options, "key"))) keys.push_back(ReadPublicKey(ReadText(path)));
  const auto checked = ManifestStatement::Check(ReadText(manifest, false), ReadText(statement, false), keys, Now(), 0);
  out << fmt::format("{} verifies: serial {}, expires {}\n", manifest.string(), checked.serial,
                     ManifestStatement::UtcText(checked.expires));
  return 0;
}

int Keygen(const std::vector<std::string>& args, std::ostream& out) {
  const auto options = ParseOptions(args, 1, {"out-private", "out-public"});
  const fs::path privatePath = Required(options, "out-private");
  const fs::path publicPath = Required(options, "out-public");
  const KeyPair key = GenerateKeyPair();
  WritePrivateFile(privatePath, EncodeBase64Url(key.seed + key.publicKey) + "\n");
  // No line end: the file is served as-is at /api/signkey.
  WriteFile(publicPath, EncodeBase64Url(key.publicKey),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  out << fmt::format("Wrote {} and {}\n", privatePath.string(), publicPath.string());
  return 0;
}

int Token(const std::vector<std::string>& args, std::ostream& out) {
  const auto options = ParseOptions(args, 1, {"key", "type", "subject", "issued-at"});
  const std::string& keyPath = Required(options, "key");
  long long issuedAt =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (options.contains("issued-at")) {
    const std::string& text = options.at("issued-at");
    size_t used = 0;
    try {
      issuedAt = std::stoll(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size()) throw UsageError(fmt::format("--issued-at \"{}\" is not a number", text));
  }
  // Setups refuse a token dated more than this ahead of their clock.
  if (issuedAt > Now() + 300) throw std::runtime_error("Token is dated in the future");
  const std::string type = options.contains("type") ? options.at("type") : "uninstall";
  const std::string subject = options.contains("subject") ? options.at("subject") : "";
  if (type.find(':') != std::string::npos || subject.find(':') != std::string::npos)
    throw UsageError("--type and --subject cannot contain ':'");
  out << MakeToken(ReadText(keyPath), type, subject, issuedAt) << "\n";
  return 0;
}

int Sign(const std::vector<std::string>& args, std::ostream& out) {
  const auto options = ParseOptions(args, 1, {"in", "cert", "key", "chain", "timestamp-url", "out"});
  SignOptions signOptions{Required(options, "in"),
                          Required(options, "cert"),
                          Required(options, "key"),
                          options.contains("chain") ? options.at("chain") : "",
                          options.contains("timestamp-url") ? options.at("timestamp-url") : "",
                          Required(options, "out")};
  if (signOptions.in == signOptions.out) throw UsageError("--out must differ from --in");
  SignExecutable(signOptions);
  out << fmt::format("Signed {} into {}\n", signOptions.in, signOptions.out);
  return 0;
}

int VerifySignatureCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const auto options = ParseOptions(args, 1, {"in", "ca"});
  std::string report;
  const bool verified = VerifySignature(Required(options, "in"), Required(options, "ca"), report);
  (verified ? out : err) << report;
  if (!verified) {
    err << fmt::format("valdrix-release verify-signature: the signature of {} does not verify\n", options.at("in"));
    return 1;
  }
  out << fmt::format("The signature of {} verifies\n", options.at("in"));
  return 0;
}

constexpr std::initializer_list<const char*> kServeOptions = {
    "root", "port",        "host",       "cert",           "key",       "ca-dir", "control",
    "log",  "request-log", "ingest-dir", "ingest-project", "ingest-key"};

// The options are checked here, so that a mistake is reported by this tool
// rather than by the server it hands over to.
std::vector<std::string> ServeArguments(const std::vector<std::string>& args) {
  const auto options = ParseOptions(args, 1, kServeOptions);
  Required(options, "root");
  std::vector<std::string> arguments;
  for (const auto& [name, value] : options) {
    arguments.push_back("--" + name);
    arguments.push_back(value);
  }
  // HTTPS by default, with the test CA that the end-to-end suite trusts.
  if (!options.contains("cert") && !options.contains("ca-dir")) {
    arguments.push_back("--ca-dir");
    arguments.push_back(VALDRIX_SERVE_CA_DIR);
  }
  return arguments;
}

// The loopback server is the local update server of this build tree;
// VALDRIX_LOCAL_SERVER names another one.
int Serve(const std::vector<std::string>& args, std::ostream& out) {
  if (std::find(args.begin(), args.end(), "--help") != args.end()) {
    out << kServeUsage;
    return 0;
  }
  const std::vector<std::string> arguments = ServeArguments(args);
  const char* configured = std::getenv("VALDRIX_LOCAL_SERVER");
  const std::string server = configured ? configured : VALDRIX_LOCAL_SERVER_PATH;
  if (access(server.c_str(), X_OK) != 0) {
    throw std::runtime_error(
        fmt::format("Local server \"{}\" not found or not executable (build the local_update_server target)", server));
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(server.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(server.c_str(), argv.data());
  throw std::runtime_error(fmt::format("Unable to start \"{}\": {}", server, std::strerror(errno)));
}

}  // namespace

std::string MakeToken(const std::string& privateKeyText, const std::string& type, const std::string& subject,
                      long long issuedAt) {
  const KeyPair key = ReadPrivateKey(privateKeyText);
  const std::string payload = fmt::format("{}:{}:{}", type, subject, issuedAt);
  return EncodeBase64Url(payload) + "." + EncodeBase64Url(Sign(key, payload));
}

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::string& command = args[0];
  try {
    if (command == "help" || command == "--help" || command == "-h") {
      out << kUsage;
      return 0;
    }
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--help" && command != "serve") {
        out << kUsage;
        return 0;
      }
    }
    if (command == "manifest") return Manifest(args, out);
    if (command == "verify-manifest") return VerifyManifest(args, out);
    if (command == "keygen") return Keygen(args, out);
    if (command == "token") return Token(args, out);
    if (command == "serve") return Serve(args, out);
    if (command == "sign") return Sign(args, out);
    if (command == "verify-signature") return VerifySignatureCommand(args, out, err);
    throw UsageError(fmt::format("unknown command \"{}\"", command));
  } catch (const UsageError& error) {
    err << "valdrix-release: " << error.what() << "\n\n" << (command == "serve" ? kServeUsage : kUsage);
    return 2;
  } catch (const std::exception& error) {
    err << "valdrix-release " << command << ": " << error.what() << "\n";
    return 1;
  }
}

}  // namespace Release
