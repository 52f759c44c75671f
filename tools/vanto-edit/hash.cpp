// `vanto-edit hash`: checksums and digests of a file or a range, computed by
// the system's libraries (OpenSSL's libcrypto, zlib, libxxhash) over the data
// read through the library a block at a time.  Several algorithms share one
// pass over the data.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <memory>
#include <vector>

#include <fmt/format.h>
#include <openssl/evp.h>
#include <xxhash.h>
#include <zlib.h>

#include "commands.h"
#include "reader.h"
#include "text.h"

namespace vtool {
namespace {

constexpr int64_t kBlock = int64_t{1} << 20;

class Digest {
 public:
  virtual ~Digest() = default;
  virtual void update(const char *data, std::size_t length) = 0;
  // The result in lower-case hexadecimal, most significant byte first.
  virtual std::string hex() = 0;
};

std::string hex_of(const unsigned char *bytes, std::size_t length) {
  std::string out;
  out.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) out += fmt::format("{:02x}", bytes[i]);
  return out;
}

// MD5 and the SHA family through libcrypto's EVP interface.
class EvpDigest : public Digest {
 public:
  explicit EvpDigest(const EVP_MD *type) : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr || EVP_DigestInit_ex(context_, type, nullptr) != 1) {
      EVP_MD_CTX_free(context_);
      throw Failure("libcrypto cannot start the digest");
    }
  }
  ~EvpDigest() override { EVP_MD_CTX_free(context_); }
  EvpDigest(const EvpDigest &) = delete;
  EvpDigest &operator=(const EvpDigest &) = delete;

  void update(const char *data, std::size_t length) override {
    if (EVP_DigestUpdate(context_, data, length) != 1) throw Failure("libcrypto failed to update the digest");
  }
  std::string hex() override {
    unsigned char result[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, result, &length) != 1) throw Failure("libcrypto failed to finish the digest");
    return hex_of(result, length);
  }

 private:
  EVP_MD_CTX *context_;
};

class Crc32 : public Digest {
 public:
  void update(const char *data, std::size_t length) override {
    crc_ = crc32_z(crc_, reinterpret_cast<const Bytef *>(data), length);
  }
  std::string hex() override { return fmt::format("{:08x}", crc_); }

 private:
  uLong crc_ = crc32_z(0, Z_NULL, 0);
};

// XXH3 (64 bits), XXH3 (128 bits) and XXH64 with seed 0, as xxhsum prints them.
enum class XxhKind { Xxh3, Xxh128, Xxh64 };

class XxHash : public Digest {
 public:
  explicit XxHash(XxhKind kind) : kind_(kind) {
    const bool ready = kind_ == XxhKind::Xxh64 ? (state64_ = XXH64_createState()) != nullptr &&
                                                     XXH64_reset(state64_, 0) == XXH_OK
                                               : (state3_ = XXH3_createState()) != nullptr &&
                                                     (kind_ == XxhKind::Xxh3 ? XXH3_64bits_reset(state3_)
                                                                             : XXH3_128bits_reset(state3_)) == XXH_OK;
    if (!ready) {
      release();
      throw Failure("libxxhash cannot start the hash");
    }
  }
  ~XxHash() override { release(); }
  XxHash(const XxHash &) = delete;
  XxHash &operator=(const XxHash &) = delete;

  void update(const char *data, std::size_t length) override {
    switch (kind_) {
      case XxhKind::Xxh3: XXH3_64bits_update(state3_, data, length); break;
      case XxhKind::Xxh128: XXH3_128bits_update(state3_, data, length); break;
      case XxhKind::Xxh64: XXH64_update(state64_, data, length); break;
    }
  }
  std::string hex() override {
    switch (kind_) {
      case XxhKind::Xxh3: return fmt::format("{:016x}", XXH3_64bits_digest(state3_));
      case XxhKind::Xxh128: {
        const XXH128_hash_t hash = XXH3_128bits_digest(state3_);
        return fmt::format("{:016x}{:016x}", hash.high64, hash.low64);
      }
      case XxhKind::Xxh64: return fmt::format("{:016x}", XXH64_digest(state64_));
    }
    return {};
  }

 private:
  void release() {
    if (state3_ != nullptr) XXH3_freeState(state3_);
    if (state64_ != nullptr) XXH64_freeState(state64_);
    state3_ = nullptr;
    state64_ = nullptr;
  }

  XxhKind kind_;
  XXH3_state_t *state3_ = nullptr;
  XXH64_state_t *state64_ = nullptr;
};

struct Algorithm {
  const char *name;  // as given to --algorithm and shown in tagged lines and JSON
  const char *tag;   // the name in tagged lines
  std::unique_ptr<Digest> (*make)();
};

const std::array<Algorithm, 8> kAlgorithms{{
    {"crc32", "CRC32", [] { return std::unique_ptr<Digest>(new Crc32); }},
    {"md5", "MD5", [] { return std::unique_ptr<Digest>(new EvpDigest(EVP_md5())); }},
    {"sha1", "SHA1", [] { return std::unique_ptr<Digest>(new EvpDigest(EVP_sha1())); }},
    {"sha256", "SHA256", [] { return std::unique_ptr<Digest>(new EvpDigest(EVP_sha256())); }},
    {"sha512", "SHA512", [] { return std::unique_ptr<Digest>(new EvpDigest(EVP_sha512())); }},
    {"xxh3", "XXH3", [] { return std::unique_ptr<Digest>(new XxHash(XxhKind::Xxh3)); }},
    {"xxh128", "XXH128", [] { return std::unique_ptr<Digest>(new XxHash(XxhKind::Xxh128)); }},
    {"xxh64", "XXH64", [] { return std::unique_ptr<Digest>(new XxHash(XxhKind::Xxh64)); }},
}};

// The algorithm named `text` ("sha256", "SHA-256", "xxh3" ...).
const Algorithm &algorithm_named(const std::string &text) {
  std::string key;
  for (const char c : text) {
    if (c != '-' && c != '_') key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  for (const Algorithm &algorithm : kAlgorithms) {
    if (key == algorithm.name) return algorithm;
  }
  throw Failure(fmt::format("--algorithm: unknown algorithm '{}' (known: {})", printable(text), hash_algorithm_names()));
}

}  // namespace

std::string hash_algorithm_names() {
  std::string names;
  for (const Algorithm &algorithm : kAlgorithms) names += fmt::format("{}{}", names.empty() ? "" : ", ", algorithm.name);
  return names;
}

int run_hash(const CommonOptions &common, const HashOptions &options) {
  std::vector<const Algorithm *> chosen;
  for (const std::string &name : options.algorithms) {
    const Algorithm *algorithm = &algorithm_named(name);
    if (std::find(chosen.begin(), chosen.end(), algorithm) == chosen.end()) chosen.push_back(algorithm);
  }
  if (chosen.empty()) chosen.push_back(&algorithm_named("sha256"));

  Progress progress(common);
  const Session session(options.file, progress);
  const Range range = resolve_range(options.file, session.size(), options.offset, options.length);
  // A digest of fewer bytes than asked for would pass for the one asked for.
  if (!options.length.empty() && number_option("--length", options.length) > range.length) {
    throw Failure(fmt::format("{}: {} bytes from offset {} run past the end of the data ({} bytes)",
                              shown_name(options.file), number_option("--length", options.length), range.offset,
                              session.size()));
  }

  std::vector<std::unique_ptr<Digest>> digests;
  for (const Algorithm *algorithm : chosen) digests.push_back(algorithm->make());
  BlockReader reader(session, kBlock);
  progress.phase("hashing");
  for (int64_t position = range.offset; position < range.end();) {
    const std::string_view block = reader.at(position);
    const auto take = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(block.size()), range.end() - position));
    for (const auto &digest : digests) digest->update(block.data(), take);
    position += static_cast<int64_t>(take);
    if (Progress::hook(nullptr, position - range.offset, range.length, &progress) != 0) throw Interrupted();
  }
  progress.clear();

  std::vector<std::string> results;
  for (const auto &digest : digests) results.push_back(digest->hex());
  if (options.json) {
    std::string fields;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
      fields += fmt::format("{}\"{}\": \"{}\"", i == 0 ? "" : ", ", chosen[i]->name, results[i]);
    }
    fmt::print("{{\"file\": {}, \"offset\": {}, \"length\": {}, \"hashes\": {{{}}}}}\n", json_string(options.file),
               range.offset, range.length, fields);
  } else if (chosen.size() == 1) {
    fmt::print("{}  {}\n", results[0], shown_name(options.file));
  } else {
    for (std::size_t i = 0; i < chosen.size(); ++i) {
      fmt::print("{} ({}) = {}\n", chosen[i]->tag, shown_name(options.file), results[i]);
    }
  }
  return kExitOk;
}

}  // namespace vtool
