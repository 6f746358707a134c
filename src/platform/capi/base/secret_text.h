// A text that must not outlive its use in memory (a PIN): its bytes are
// overwritten when it is replaced or goes.
#pragma once

#include <openssl/crypto.h>

#include <string>
#include <utility>

namespace zuntar {

// Overwrites every byte the string holds, spare capacity included, and
// leaves it empty.
inline void WipeText(std::string& text) {
  text.resize(text.capacity());
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::string text) : text_(std::move(text)) {}
  SecretText(const SecretText& other) : text_(other.text_) {}
  SecretText& operator=(const SecretText& other) {
    if (this != &other) {
      WipeText(text_);
      text_ = other.text_;
    }
    return *this;
  }
  ~SecretText() { WipeText(text_); }

  const std::string& text() const { return text_; }
  // Same length and bytes, compared in time independent of where they differ.
  bool Equals(const std::string& other) const {
    return text_.size() == other.size() && CRYPTO_memcmp(text_.data(), other.data(), other.size()) == 0;
  }

 private:
  std::string text_;
};

}  // namespace zuntar
