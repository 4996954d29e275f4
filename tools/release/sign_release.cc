// kvt-release keygen and kvt-release sign <release-dir>: the vendor's signing key and the
// signature file of a release.
#include <cstdio>

#include "commands.h"
#include "release_rules.h"
#include "release_signing.h"

namespace kvt::release {

bool LoadSigningKeys(const std::vector<std::string>& paths,
                     std::vector<std::unique_ptr<SigningKey>>& keys, std::string& problem) {
  keys.clear();
  for (const std::string& path : paths) {
    std::unique_ptr<SigningKey> key = SigningKey::Load(path, problem);
    if (key == nullptr) return false;
    for (const auto& other : keys) {
      if (other->id() == key->id()) {
        problem = path + " is key " + key->id() + " a second time";
        return false;
      }
    }
    keys.push_back(std::move(key));
  }
  if (keys.empty()) problem = "no signing key given";
  return !keys.empty();
}

namespace {

void PrintPublic(const SigningKey& key) {
  std::printf("key id: %s\n", key.id().c_str());
  std::printf("KVT_RELEASE_KEYS=%s\n", EncodeBase64(key.point()).c_str());
}

}  // namespace

int RunKeygen(const std::string& path) {
  std::string problem;
  const std::unique_ptr<SigningKey> key = SigningKey::Generate(path, problem);
  if (key == nullptr) {
    std::fprintf(stderr, "kvt-release keygen: %s\n", problem.c_str());
    return 1;
  }
  std::printf("private key: %s (keep it offline, with a backup)\n", path.c_str());
  PrintPublic(*key);
  return 0;
}

int RunPubkey(const std::string& path) {
  std::string problem;
  const std::unique_ptr<SigningKey> key = SigningKey::Load(path, problem);
  if (key == nullptr) {
    std::fprintf(stderr, "kvt-release pubkey: %s\n", problem.c_str());
    return 1;
  }
  PrintPublic(*key);
  return 0;
}

int RunSignRelease(const SignReleaseOptions& o) {
  std::vector<std::unique_ptr<SigningKey>> keys;
  std::string problem;
  if (!LoadSigningKeys(o.keys, keys, problem)) {
    std::fprintf(stderr, "kvt-release sign: %s; nothing written\n", problem.c_str());
    return 1;
  }
  std::vector<const SigningKey*> signers;
  for (const auto& key : keys) signers.push_back(key.get());
  if (!SignReleaseFolder(o.dir, signers, o.issued, problem)) {
    std::fprintf(stderr, "kvt-release sign: %s\n", problem.c_str());
    return 1;
  }
  std::printf("signed %s/%s%s, issued %lld, with key(s)", o.dir.c_str(), kManifestName,
              kSignatureSuffix, static_cast<long long>(o.issued));
  for (const SigningKey* key : signers) std::printf(" %s", key->id().c_str());
  std::printf("\n");
  return 0;
}

}  // namespace kvt::release
