// The stores as the commands reach them: through the library's exports, and
// through the registry directly for what no export tells.
#pragma once

#include <vector>

#include "kelmix.h"
#include "tools/kelmix/commands.h"
#include "tools/kelmix/dump.h"
#include "tools/kelmix/registry.h"

namespace kx::cli {

// One store opened through KXInit; closing performs every queued write.
class Session {
 public:
  explicit Session(const WStr& name) : name_(name) { open(); }
  ~Session() {
    if (handle_) KXClose(handle_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  KXHANDLE get() const { return handle_; }
  void close();
  // Closes and opens again: what was queued is in the registry after this.
  void flush() {
    close();
    open();
  }

 private:
  void open();

  WStr name_;
  KXHANDLE handle_ = 0;
};

// Refuses a missing store before anything opens (and so creates) it.
void require_store(const WStr& store);
// admin::open_completed of an existing store, the key opened once what
// processes that died with the store open had accepted is in it; a failure
// ends the command.
void open_key(const WStr& store, plat::ScopedKey* key);
// The value's type and bytes; a missing value is an error naming both.
RawValue read_existing(plat::Key key, const WStr& store, const WStr& name);
// The value names of an open store in the registry's order, through KXCount
// and KXGetKey.
std::vector<WStr> names_of(const Session& session, const WStr& store);
// Every value of an existing store in the registry's order.
std::vector<NamedValue> read_store(const WStr& store);

// One value to write, or with erase to delete.
struct Change {
  NamedValue value;
  bool erase = false;
};

// Writes through the exports in order (raw values directly), closes the store
// so every write is performed, and compares what the registry then holds.
void write_changes(const WStr& store, const std::vector<Change>& changes);

}  // namespace kx::cli
