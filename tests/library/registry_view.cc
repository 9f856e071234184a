#include "tests/library/registry_view.h"

namespace kx::test {

namespace {

class OpenKey {
 public:
  explicit OpenKey(const std::string& store) {
    std::string path = "Software\\Kelmix\\" + store;
    rc_ = plat::reg_open_key_a(plat::current_user(), path.c_str(), &key_);
  }
  ~OpenKey() {
    if (rc_ == 0) plat::reg_close_key(key_);
  }
  int32_t rc() const { return rc_; }
  plat::Key get() const { return key_; }

 private:
  plat::Key key_ = nullptr;
  int32_t rc_;
};

}  // namespace

StoredValue stored(const std::string& store, const WString& name) {
  StoredValue v;
  OpenKey key(store);
  if ((v.rc = key.rc()) != 0) return v;
  uint32_t size = 0;
  v.rc = plat::reg_query_value(key.get(), name.c_str(), &v.type, nullptr, &size);
  if (v.rc != 0) return v;
  v.bytes.resize(size);
  v.rc = plat::reg_query_value(key.get(), name.c_str(), &v.type, v.bytes.data(), &size);
  v.bytes.resize(size);
  return v;
}

std::vector<WString> stored_names(const std::string& store) {
  std::vector<WString> names;
  OpenKey key(store);
  if (key.rc() != 0) return names;
  for (uint32_t i = 0;; ++i) {
    tchar buffer[16384 + 1];
    uint32_t length = 16384 + 1;
    if (plat::reg_enum_value(key.get(), i, buffer, &length) != 0) break;
    names.emplace_back(buffer, length);
  }
  return names;
}

int stored_count(const std::string& store) {
  OpenKey key(store);
  uint32_t values = 0;
  if (key.rc() != 0 || plat::reg_query_info_key(key.get(), &values, nullptr) != 0) return -1;
  return static_cast<int>(values);
}

bool store_exists(const std::string& store) { return OpenKey(store).rc() == 0; }

int32_t store_raw(const std::string& store, const WString& name, uint32_t type,
                  const std::vector<uint8_t>& bytes) {
  OpenKey key(store);
  if (key.rc() != 0) return key.rc();
  return plat::reg_set_value(key.get(), name.c_str(), type, bytes.data(),
                             static_cast<uint32_t>(bytes.size()));
}

std::vector<uint8_t> bytes_of(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

}  // namespace kx::test
