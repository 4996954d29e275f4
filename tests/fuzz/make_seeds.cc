// Writes the seed corpus of the fuzz targets: kvt_fuzz_seeds <folder> fills <folder>/signature,
// <folder>/manifest and <folder>/http_response with a few inputs each that reach every outcome.
// The signatures are made afresh (ECDSA signs with a random nonce) with the fuzzers' fixed keys.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_release.h"
#include "signature_text.h"
#include "support/temp_dir.h"

namespace kvt::fuzz {
namespace {

using testing::SignedRelease;

std::string Response(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
         "\r\n" + body;
}

bool WriteAll(const std::string& folder, const std::vector<std::string>& seeds) {
  ::mkdir(folder.c_str(), 0755);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    const std::string name = folder + "/seed-" + (i < 10 ? "0" : "") + std::to_string(i);
    if (!testing::WriteFileBytes(name, seeds[i])) return false;
  }
  std::printf("%zu seeds in %s\n", seeds.size(), folder.c_str());
  return true;
}

}  // namespace
}  // namespace kvt::fuzz

int main(int argc, char** argv) {
  using namespace kvt::fuzz;
  if (argc != 2) {
    std::fprintf(stderr, "usage: kvt_fuzz_seeds <corpus folder>\n");
    return 2;
  }
  const std::string root = argv[1];
  const SignedRelease& release = Release();
  const std::string sig_a = release.Text({&KeyA()});
  SignedRelease older = release;
  older.issued -= 1;
  SignedRelease other_manifest = release;
  other_manifest.manifest += "\r\n";
  SignedRelease swapped = release;
  std::swap(swapped.files[0], swapped.files[1]);
  std::string crlf = sig_a;
  crlf.insert(crlf.find('\n'), "\r");
  std::string wrong_signer = release.Message() + "signature: " + KeyA().KeyId() + " " +
                             kvt::release::EncodeBase64(KeyB().Sign(release.Message())) + "\n";
  const std::vector<std::string> signature = {
      sig_a,
      release.Text({&KeyA(), &KeyB()}),
      release.Text({&Stranger(), &KeyB()}),
      release.Text({&Stranger()}),
      wrong_signer,
      older.Text({&KeyA()}),
      other_manifest.Text({&KeyA()}),
      swapped.Text({&KeyA()}),
      crlf,
  };

  // Options byte: 1 signed, 2 scratch name taken, (piece index) << 2, 32 failing end read, 128
  // the scratch name's partial file taken.
  const std::string m = release.manifest;
  const std::string next(kNext);
  const std::string manifest_response = Response(m);
  const std::vector<std::string> manifest = {
      "@" + manifest_response,
      std::string(1, '\x40' | (1 << 2)) + manifest_response,  // one byte per read
      "B" + manifest_response,
      "\xC0HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + m,
      "`" + manifest_response,
      "@" + Response("\xEF\xBB\xBF" + m),
      "@" + Response(m, "content-length: " + std::to_string(m.size()) + "\r\n"),
      "@" + Response(m, "Content-Length: 1\r\n"),
      "@HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + m,
      "@HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
      "@HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n"
      "Content-Length: 5\r\n\r\nlogin",
      "@" + Response("2.1"),
      "A" + manifest_response + next + Response(sig_a),
      "C" + manifest_response + next + Response(release.Text({&Stranger(), &KeyB()})),
      "A" + manifest_response + next + Response(release.Text({&Stranger()})),
      "A" + Response(m + " ") + next + Response(sig_a),
      "A" + manifest_response + next + "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
  };

  const std::string body = "hello, world\n";
  const std::vector<std::string> http_response = {
      Response(body),
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n8\r\n, world\n\r\n"
      "0\r\nTrailer: x\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\n" + Response(body),
      "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:8080/other\r\nContent-Length: 0\r\n\r\n" +
          next + Response(body),
      "HTTP/1.1 301 Moved\r\nLocation: /elsewhere\r\n\r\n" + next + Response(body),
      "HTTP/1.0 200 OK\r\nServer: x\r\n\r\n" + body,
      "HTTP/1.1 200 OK\nContent-Length: 5\n\nhello",
      "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nhello",
      Response(body, "Content-Length: 13\r\n"),
      Response(body, "Content-Length: 14\r\n"),
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length:  20 \r\nX-Folded: a\r\n b\r\n\r\n" + body,
  };

  ::mkdir(root.c_str(), 0755);
  return WriteAll(root + "/signature", signature) && WriteAll(root + "/manifest", manifest) &&
                 WriteAll(root + "/http_response", http_response)
             ? 0
             : 1;
}
