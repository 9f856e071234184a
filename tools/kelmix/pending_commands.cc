// pending and recover: the pending files of hosts, and completing those of
// hosts that died with a store open.
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "library/admin.h"
#include "tools/kelmix/commands.h"
#include "tools/kelmix/store_access.h"

namespace kx::cli {

namespace {

constexpr const char* kUnknown = "-";

// A field of a file's name "<key name hash>-<pid hex>-<time hex>-<n>.kxp",
// counted from 0.
std::string field_of(const std::string& file, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) {
    start = file.find('-', start);
    if (start == std::string::npos) return {};
    ++start;
  }
  return file.substr(start, file.find('-', start) - start);
}

// The process id a file's name holds, in decimal; a live file is not read.
std::string pid_of_name(const std::string& file) {
  std::string hex = field_of(file, 1);
  if (hex.empty() || hex.size() > 8 ||
      hex.find_first_not_of("0123456789abcdef") != std::string::npos)
    return kUnknown;
  return std::to_string(std::strtoul(hex.c_str(), nullptr, 16));
}

std::vector<admin::PendingFile> survey() {
  std::vector<admin::PendingFile> files;
  int32_t rc = admin::survey_pending(&files);
  if (rc != kOk) {
    fail(kExitFailed,
         "cannot read the pending files in \"" + plat::pending_folder() + "\": " + error_text(rc));
  }
  return files;
}

}  // namespace

void cmd_pending(Output* out) {
  std::string folder = plat::pending_folder();
  out->data = "# folder: " + (folder.empty() ? std::string(kUnknown) : folder) + "\n";
  for (const admin::PendingFile& f : survey()) {
    // A live file is never opened, and a damaged one may have no header.
    bool read = !f.owner_alive && f.unit_bytes != 0;
    std::string store = kUnknown, records = kUnknown, width = kUnknown;
    std::string pid = pid_of_name(f.file);
    if (read) {
      store = escape_cell(narrow(from_units(f.name_bytes, f.unit_bytes)));
      records = std::to_string(f.pending);
      width = f.unit_bytes == 2 ? "wide" : "narrow";
      pid = std::to_string(f.pid);
    }
    const char* state = f.owner_alive ? "live" : f.damaged ? "damaged" : "orphaned";
    out->data +=
        f.file + "\t" + store + "\t" + records + "\t" + width + "\t" + pid + "\t" + state + "\n";
  }
}

void cmd_recover(Output* out) {
  // The files of one key share their name's hash, whatever their width or
  // letter case: one opening completes them all. A damaged file with a
  // header is replayed up to its damage and set aside, as an opening does.
  std::set<std::string> opened;
  for (const admin::PendingFile& f : survey()) {
    if (!f.completable) continue;
    if (!opened.insert(field_of(f.file, 0)).second) continue;
    WStr store = from_units(f.name_bytes, f.unit_bytes);
    plat::ScopedKey key;
    admin::Completed done;
    int32_t rc = admin::open_completed(store.c_str(), true, &key, &done);
    if (rc != kOk) {
      out->failed.push_back("cannot open store " + shown(store) + ": " + error_text(rc));
      continue;
    }
    out->data += escape_cell(narrow(store)) + "\trecords=" + std::to_string(done.records) +
                 "\tremoved=" + std::to_string(done.files) + "\tkept=" + std::to_string(done.kept) +
                 "\n";
  }
}

}  // namespace kx::cli
