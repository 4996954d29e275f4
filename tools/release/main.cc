// kvt-release: makes a release folder for the vendor web server, checks a live server the way
// the installer reads it, and signs the installer. See the README's "Releasing" section.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "commands.h"

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  kvt-release make OUTDIR --version TEXT --base-url http[s]://HOST/PATH/ --extractor FILE\n"
    "                  --archive FILE\n"
    "      writes KVT_TRNQP_SETUP_LOG.txt (code page 936), UnRAR.exe and KVT_SETUP.rar\n"
    "  kvt-release check HOST [--https [--ca FILE]] [--expect DIR] [--json] [--port N]\n"
    "      reads http[s]://HOST/KVT_TRNQP_SETUP_LOG.txt and both files as the installer does;\n"
    "      exit 1 when the installer would fail. --https: the secure installer's release\n"
    "      (https:// URLs, TLS on port 443; certificates checked against the system's store,\n"
    "      or the CA certificates in FILE). --port N reaches port N wherever the installer\n"
    "      connects to port 80 (443 with --https), for testing against a server on another port\n"
    "  kvt-release sign EXE --cert FILE --key FILE [--pass-file FILE] [--ca FILE]\n"
    "                  [--timestamp URL] [--out FILE]\n"
    "      Authenticode-signs EXE with osslsigncode and verifies the signature\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "kvt-release: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

// Positional arguments and "--name value" options; `flags` take no value.
bool Parse(int argc, char** argv, const std::vector<std::string>& valued,
           const std::vector<std::string>& flags, std::vector<std::string>& positional,
           std::map<std::string, std::string>& options, std::string& problem) {
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(2);
    bool known = false;
    for (const std::string& f : flags) known = known || f == name;
    if (known) {
      options[name] = "1";
      continue;
    }
    for (const std::string& v : valued) known = known || v == name;
    if (!known) {
      problem = "unknown option " + arg;
      return false;
    }
    if (i + 1 >= argc) {
      problem = arg + " needs a value";
      return false;
    }
    options[name] = argv[++i];
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kvt::release;
  if (argc < 2) return Usage("");
  const std::string command = argv[1];
  std::vector<std::string> pos;
  std::map<std::string, std::string> opt;
  std::string problem;
  if (command == "make") {
    if (!Parse(argc, argv, {"version", "base-url", "extractor", "archive"}, {}, pos, opt,
               problem)) {
      return Usage(problem);
    }
    if (pos.size() != 1 || opt.size() != 4) return Usage("make needs OUTDIR and all four options");
    return RunMake({pos[0], opt["version"], opt["base-url"], opt["extractor"], opt["archive"]});
  }
  if (command == "check") {
    if (!Parse(argc, argv, {"expect", "port", "ca"}, {"json", "https"}, pos, opt, problem)) {
      return Usage(problem);
    }
    if (pos.size() != 1) return Usage("check needs one HOST");
    if (opt.count("ca") && !opt.count("https")) return Usage("--ca goes with --https");
    CheckOptions options{pos[0], opt["expect"], opt.count("json") > 0, opt.count("https") > 0,
                         opt["ca"]};
    if (opt.count("port")) {
      char* end = nullptr;
      const unsigned long port = std::strtoul(opt["port"].c_str(), &end, 10);
      if (*end != '\0' || port == 0 || port > 65535) return Usage("bad port " + opt["port"]);
      options.port = static_cast<std::uint16_t>(port);
    }
    return RunCheck(options);
  }
  if (command == "sign") {
    if (!Parse(argc, argv, {"cert", "key", "pass-file", "ca", "timestamp", "out"}, {}, pos, opt,
               problem)) {
      return Usage(problem);
    }
    if (pos.size() != 1 || opt["cert"].empty() || opt["key"].empty()) {
      return Usage("sign needs EXE, --cert and --key");
    }
    return RunSign({pos[0], opt["cert"], opt["key"], opt["pass-file"], opt["ca"], opt["timestamp"],
                    opt["out"]});
  }
  return Usage(command == "--help" || command == "help" ? "" : "unknown command " + command);
}
