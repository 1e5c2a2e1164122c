// What the workbook component keeps for the readers of encrypted workbooks:
// the default password and the key that the last password derivation gave.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

// The password that workbooks carry when their writer encrypted them without
// a password from the user (read-only recommended or structure-protected
// workbooks); their own writer opens them without asking.
inline constexpr char16_t kDefaultWorkbookPassword[] = u"VelvetSweatshop";

// The key derived last from a password by many rounds of hashing (encrypted
// Open XML packages), with what it was derived from: reading the same
// workbook again finds it here instead of paying the rounds again. One entry;
// nothing else is kept.
class TDerivedKeyCache {
 public:
  // The kept key when it was derived from exactly these inputs, else null.
  // `algorithm` names the derivation (its hash and kind) as the caller
  // numbers them.
  const std::vector<uint8_t>* Find(std::u16string_view password, const std::vector<uint8_t>& salt,
                                   uint32_t spinCount, int algorithm) const {
    if (!entry_ || entry_->password != password || entry_->salt != salt || entry_->spinCount != spinCount ||
        entry_->algorithm != algorithm) {
      return nullptr;
    }
    return &entry_->key;
  }
  // Keeps a key in place of the one kept before.
  void Keep(std::u16string_view password, const std::vector<uint8_t>& salt, uint32_t spinCount, int algorithm,
            std::vector<uint8_t> key) {
    entry_ = TEntry{std::u16string(password), salt, spinCount, algorithm, std::move(key)};
  }
  void Clear() { entry_.reset(); }

 private:
  struct TEntry {
    std::u16string password;
    std::vector<uint8_t> salt;
    uint32_t spinCount;
    int algorithm;
    std::vector<uint8_t> key;
  };
  std::optional<TEntry> entry_;
};

}  // namespace tabulon
