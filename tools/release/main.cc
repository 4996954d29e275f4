// kvt-release: makes and signs a release folder for the vendor web server, checks a live server
// the way the installer reads it, and signs the installer. See the README's "Releasing" section.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "commands.h"

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  kvt-release make OUTDIR --version TEXT --base-url http[s]://HOST/PATH/ --extractor FILE\n"
    "                  --archive FILE [--sign KEY.pem]... [--issued SECONDS]\n"
    "      writes KVT_TRNQP_SETUP_LOG.txt (code page 936), UnRAR.exe and KVT_SETUP.rar; with\n"
    "      --sign also KVT_TRNQP_SETUP_LOG.txt.sig, one signature per key\n"
    "  kvt-release keygen KEY.pem\n"
    "      makes a P-256 signing key (mode 0600, never over an existing file) and prints its\n"
    "      key id and public key in the KVT_RELEASE_KEYS form\n"
    "  kvt-release pubkey KEY.pem\n"
    "      prints the key id and public key of an existing signing key\n"
    "  kvt-release sign RELEASE-DIR --key KEY.pem [--key KEY.pem]... [--issued SECONDS]\n"
    "      writes the signature file of an existing release folder (issued: now, or SECONDS)\n"
    "  kvt-release sign EXE --cert FILE --key FILE [--pass-file FILE] [--ca FILE]\n"
    "                  [--timestamp URL] [--out FILE]\n"
    "      Authenticode-signs EXE with osslsigncode and verifies the signature\n"
    "  kvt-release check HOST [--https [--ca FILE]] [--keys KEYS [--not-before SECONDS]]\n"
    "                  [--mirror HOST]... [--expect DIR] [--json] [--port N]\n"
    "      reads http[s]://HOST/KVT_TRNQP_SETUP_LOG.txt and both files as the installer does;\n"
    "      exit 1 when the installer would fail. --https: the secure installer's release\n"
    "      (https:// URLs, TLS on port 443; certificates checked against the system's store,\n"
    "      or the CA certificates in FILE). --keys: an installer built with KVT_RELEASE_KEYS=KEYS\n"
    "      (and KVT_RELEASE_NOT_BEFORE=SECONDS), which verifies the signature file and the\n"
    "      files' sizes and hashes. --port N reaches port N wherever the installer connects to\n"
    "      port 80 (443 with --https), for testing against a server on another port.\n"
    "      --mirror HOST (repeatable; HOST or HOST:PORT, as in KVT_VENDOR_MIRRORS): asks each\n"
    "      mirror for every file the vendor host served and reports whether it serves the same\n"
    "      bytes (size and SHA-256); exit 1 when one does not\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "kvt-release: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

using Options = std::map<std::string, std::vector<std::string>>;

// Positional arguments and "--name value" options; `flags` take no value, only `repeatable`
// ones may be given more than once.
bool Parse(int argc, char** argv, const std::vector<std::string>& valued,
           const std::vector<std::string>& flags, const std::vector<std::string>& repeatable,
           std::vector<std::string>& positional, Options& options, std::string& problem) {
  auto listed = [](const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names) {
      if (n == name) return true;
    }
    return false;
  };
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(2);
    const bool flag = listed(flags, name);
    if (!flag && !listed(valued, name) && !listed(repeatable, name)) {
      problem = "unknown option " + arg;
      return false;
    }
    if (options.count(name) && !listed(repeatable, name)) {
      problem = arg + " given twice";
      return false;
    }
    if (flag) {
      options[name].push_back("1");
      continue;
    }
    if (i + 1 >= argc) {
      problem = arg + " needs a value";
      return false;
    }
    options[name].push_back(argv[++i]);
  }
  return true;
}

std::string One(const Options& options, const std::string& name) {
  const auto it = options.find(name);
  return it == options.end() ? std::string() : it->second.back();
}

std::vector<std::string> All(const Options& options, const std::string& name) {
  const auto it = options.find(name);
  return it == options.end() ? std::vector<std::string>() : it->second;
}

// UTC seconds in plain decimal (the form of the signature file's "issued" line).
bool Seconds(const std::string& text, std::int64_t& value) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos ||
      (text.size() > 1 && text[0] == '0')) {
    return false;
  }
  value = std::stoll(text);
  return true;
}

// --issued SECONDS, or now.
bool Issued(const Options& options, std::int64_t& issued) {
  if (!options.count("issued")) {
    issued = static_cast<std::int64_t>(std::time(nullptr));
    return true;
  }
  return Seconds(One(options, "issued"), issued);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kvt::release;
  if (argc < 2) return Usage("");
  const std::string command = argv[1];
  std::vector<std::string> pos;
  Options opt;
  std::string problem;
  if (command == "make") {
    if (!Parse(argc, argv, {"version", "base-url", "extractor", "archive", "issued"}, {}, {"sign"},
               pos, opt, problem)) {
      return Usage(problem);
    }
    MakeOptions make{pos.empty() ? "" : pos[0], One(opt, "version"), One(opt, "base-url"),
                     One(opt, "extractor"),     One(opt, "archive"), All(opt, "sign")};
    if (pos.size() != 1 || make.version.empty() || make.base_url.empty() ||
        make.extractor.empty() || make.archive.empty()) {
      return Usage("make needs OUTDIR and all four options");
    }
    if (!Issued(opt, make.issued)) return Usage("bad --issued " + One(opt, "issued"));
    if (opt.count("issued") && make.sign_keys.empty()) return Usage("--issued goes with --sign");
    return RunMake(make);
  }
  if (command == "keygen") {
    if (!Parse(argc, argv, {}, {}, {}, pos, opt, problem)) return Usage(problem);
    if (pos.size() != 1) return Usage("keygen needs one KEY.pem");
    return RunKeygen(pos[0]);
  }
  if (command == "pubkey") {
    if (!Parse(argc, argv, {}, {}, {}, pos, opt, problem)) return Usage(problem);
    if (pos.size() != 1) return Usage("pubkey needs one KEY.pem");
    return RunPubkey(pos[0]);
  }
  if (command == "check") {
    if (!Parse(argc, argv, {"expect", "port", "ca", "keys", "not-before"}, {"json", "https"},
               {"mirror"}, pos, opt, problem)) {
      return Usage(problem);
    }
    if (pos.size() != 1) return Usage("check needs one HOST");
    if (opt.count("ca") && !opt.count("https")) return Usage("--ca goes with --https");
    if (opt.count("not-before") && !opt.count("keys"))
      return Usage("--not-before goes with --keys");
    CheckOptions options;
    options.host = pos[0];
    options.expect_dir = One(opt, "expect");
    options.json = opt.count("json") > 0;
    options.https = opt.count("https") > 0;
    options.ca_file = One(opt, "ca");
    if (opt.count("port")) {
      char* end = nullptr;
      const std::string text = One(opt, "port");
      const unsigned long port = std::strtoul(text.c_str(), &end, 10);
      if (*end != '\0' || port == 0 || port > 65535) return Usage("bad port " + text);
      options.port = static_cast<std::uint16_t>(port);
    }
    options.mirrors = All(opt, "mirror");
    options.keys = One(opt, "keys");
    if (opt.count("keys") && options.keys.empty()) return Usage("--keys needs at least one key");
    if (opt.count("not-before") && !Seconds(One(opt, "not-before"), options.not_before)) {
      return Usage("bad --not-before " + One(opt, "not-before"));
    }
    return RunCheck(options);
  }
  if (command == "sign") {
    // A release folder gets its signature file; a program its Authenticode signature.
    std::error_code error;
    const bool folder = argc > 2 && std::filesystem::is_directory(argv[2], error);
    if (folder) {
      if (!Parse(argc, argv, {"issued"}, {}, {"key"}, pos, opt, problem)) return Usage(problem);
      SignReleaseOptions sign{pos.empty() ? "" : pos[0], All(opt, "key")};
      if (pos.size() != 1 || sign.keys.empty()) return Usage("sign needs RELEASE-DIR and --key");
      if (!Issued(opt, sign.issued)) return Usage("bad --issued " + One(opt, "issued"));
      return RunSignRelease(sign);
    }
    if (!Parse(argc, argv, {"cert", "key", "pass-file", "ca", "timestamp", "out"}, {}, {}, pos, opt,
               problem)) {
      return Usage(problem);
    }
    if (pos.size() != 1 || One(opt, "cert").empty() || One(opt, "key").empty()) {
      return Usage("sign needs RELEASE-DIR and --key, or EXE, --cert and --key");
    }
    return RunSign({pos[0], One(opt, "cert"), One(opt, "key"), One(opt, "pass-file"),
                    One(opt, "ca"), One(opt, "timestamp"), One(opt, "out")});
  }
  return Usage(command == "--help" || command == "help" ? "" : "unknown command " + command);
}
