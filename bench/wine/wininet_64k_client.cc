// The reference for bench/wine-download.sh: the least a WinINet downloader does. One request
// (no cache), InternetReadFile into a 64 KiB buffer, each piece written at once to OUT_FILE.temp,
// which is renamed to OUT_FILE at the end (as the installer does, so that both end alike).
// With "sha256", each written piece is also hashed with CNG before the next read, one after the
// other on the one thread, and the digest is finished before the rename: what a signed download
// costs done serially.
//
//   kvt_wine_bench_64k PORT PATH OUT_FILE [sha256]      (Windows paths)
// Prints: bytes N seconds S [sha256 HEX]
#include <windows.h>
// (after windows.h)
#include <bcrypt.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const bool hash = argc == 5 && std::string(argv[4]) == "sha256";
  if (argc != 4 && !hash) {
    std::fprintf(stderr, "usage: kvt_wine_bench_64k PORT PATH OUT_FILE [sha256]\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  HINTERNET open = InternetOpenA("bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET connect = InternetConnectA(open, "127.0.0.1",
                                       static_cast<INTERNET_PORT>(std::atoi(argv[1])), nullptr,
                                       nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET request =
      HttpOpenRequestA(connect, "GET", argv[2], "HTTP/1.1", nullptr, nullptr,
                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (request == nullptr || !HttpSendRequestA(request, nullptr, 0, nullptr, 0)) return 1;
  const std::string partial = std::string(argv[3]) + ".temp";
  HANDLE file = CreateFileA(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE sha = nullptr;
  if (hash && (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0 ||
               BCryptCreateHash(algorithm, &sha, nullptr, 0, nullptr, 0, 0) < 0)) {
    return 1;
  }
  static char buffer[64 * 1024];
  long long total = 0;
  DWORD got = 0;
  while (InternetReadFile(request, buffer, sizeof buffer, &got) && got > 0) {
    DWORD written = 0;
    if (!WriteFile(file, buffer, got, &written, nullptr) || written != got) return 1;
    if (hash && BCryptHashData(sha, reinterpret_cast<PUCHAR>(buffer), got, 0) < 0) return 1;
    total += got;
  }
  CloseHandle(file);
  unsigned char digest[32];
  if (hash && BCryptFinishHash(sha, digest, sizeof digest, 0) < 0) return 1;
  if (!MoveFileExA(partial.c_str(), argv[3], MOVEFILE_REPLACE_EXISTING)) return 1;
  InternetCloseHandle(request);
  InternetCloseHandle(connect);
  InternetCloseHandle(open);
  QueryPerformanceCounter(&end);
  std::printf("bytes %lld seconds %.4f", total,
              static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
  if (hash) {
    std::printf(" sha256 ");
    for (const unsigned char b : digest) std::printf("%02x", b);
  }
  std::printf("\n");
  return 0;
}
