// kvtpack: host-side (Linux) packer for the demo release archive KVT_SETUP.rar.
//
//   kvtpack <archive> <folder>   pack every regular file below <folder>, in sorted order,
//                                with its path relative to <folder>
//   kvtpack -l <archive>         verify an archive and list its entries (size, CRC, path)
//
// The format is described in kvtpack_format.h and README.md. Exit code 0 on success, 1 on any
// failure (with a message on stderr).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "kvtpack_format.h"

namespace fs = std::filesystem;

namespace {

bool ReadWhole(const fs::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  out = std::move(buffer).str();
  return true;
}

int Pack(const fs::path& archive, const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    std::cerr << "kvtpack: not a folder: " << folder << "\n";
    return 1;
  }
  std::vector<fs::path> files;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  if (ec) {
    std::cerr << "kvtpack: cannot list " << folder << ": " << ec.message() << "\n";
    return 1;
  }
  std::sort(files.begin(), files.end());

  kvt::pack::Writer writer;
  for (const fs::path& file : files) {
    const std::string relative = file.lexically_relative(folder).generic_string();
    std::string data;
    if (!ReadWhole(file, data)) {
      std::cerr << "kvtpack: cannot read " << file << "\n";
      return 1;
    }
    if (!writer.Add(relative, data)) {
      std::cerr << "kvtpack: path not allowed in an archive: " << relative << "\n";
      return 1;
    }
  }

  // Written beside the target and renamed, so a failed run never leaves half an archive.
  const fs::path partial = archive.string() + ".part";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(writer.bytes().data(), static_cast<std::streamsize>(writer.bytes().size()));
    out.close();
    if (!out) {
      std::cerr << "kvtpack: cannot write " << partial << "\n";
      fs::remove(partial, ec);
      return 1;
    }
  }
  fs::rename(partial, archive, ec);
  if (ec) {
    std::cerr << "kvtpack: cannot rename to " << archive << ": " << ec.message() << "\n";
    return 1;
  }
  std::cout << "kvtpack: " << archive.string() << ": " << files.size() << " files, "
            << writer.bytes().size() << " bytes\n";
  return 0;
}

int List(const fs::path& archive) {
  std::string bytes;
  if (!ReadWhole(archive, bytes)) {
    std::cerr << "kvtpack: cannot read " << archive << "\n";
    return 1;
  }
  std::vector<kvt::pack::Entry> entries;
  std::string error;
  if (!kvt::pack::Parse(bytes, entries, error)) {
    std::cerr << "kvtpack: " << archive.string() << ": " << error << "\n";
    return 1;
  }
  for (const auto& entry : entries) {
    std::printf("%10zu  %08x  %s\n", entry.data.size(),
                static_cast<unsigned>(kvt::pack::Crc32(entry.data)), entry.path.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "-l") return List(argv[2]);
  if (argc == 3 && argv[1][0] != '-') return Pack(argv[1], argv[2]);
  std::cerr << "usage: kvtpack <archive> <folder>\n       kvtpack -l <archive>\n";
  return 1;
}
