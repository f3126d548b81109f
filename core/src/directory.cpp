#include "vostrel/directory.hpp"

#include <array>
#include <string_view>

#include "vostrel/internal/error_queue.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::directory {
namespace {

constexpr std::size_t kHeaderBytes = 50;
constexpr std::size_t kSignatureBytes = 64;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kShortestBlob = 76;

Bytes signing_message(ByteView body) {
  Bytes message;
  message.reserve(labels::kDirectoryRecord.size() + body.size());
  put_bytes(message, as_bytes(labels::kDirectoryRecord));
  put_bytes(message, body);
  return message;
}

std::optional<Address> read_address(ByteReader& reader) {
  if (reader.remaining() < 3) return std::nullopt;
  const std::uint8_t tag = *reader.u8();
  const std::uint16_t length = *reader.u16();
  if (length > DIR_MAX_ADDR_LEN) return std::nullopt;
  const auto text = reader.bytes(length);
  if (!text || !is_utf8(*text)) return std::nullopt;
  if (tag != static_cast<std::uint8_t>(Address::Kind::Onion) &&
      tag != static_cast<std::uint8_t>(Address::Kind::Direct)) {
    return std::nullopt;
  }
  return Address{static_cast<Address::Kind>(tag), std::string(text->begin(), text->end())};
}

// Quotes and backslashes escaped, control characters written as escapes, everything else as is.
void append_quoted(std::string& out, std::string_view text) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out.append("\\u{");
          if (byte >> 4) out.push_back(kDigits[byte >> 4]);
          out.push_back(kDigits[byte & 0x0F]);
          out.push_back('}');
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

}  // namespace

std::string to_string(const Address& address) {
  std::string out = address.kind == Address::Kind::Onion ? "Onion(" : "Direct(";
  append_quoted(out, address.text);
  out.push_back(')');
  return out;
}

std::ostream& operator<<(std::ostream& out, const Address& address) {
  return out << to_string(address);
}

std::optional<Bytes> DirRecord::to_bytes() const {
  if (addrs.size() > DIR_MAX_ADDRS) return std::nullopt;
  Bytes body;
  body.reserve(kHeaderBytes + addrs.size() * (3 + DIR_MAX_ADDR_LEN));
  body.push_back(kRecordVersion);
  put_bytes(body, identity);
  put_be(body, seq);
  put_be(body, expires_at);
  body.push_back(static_cast<std::uint8_t>(addrs.size()));
  for (const Address& address : addrs) {
    const ByteView text = as_bytes(address.text);
    if (text.size() > DIR_MAX_ADDR_LEN || !is_utf8(text)) return std::nullopt;
    body.push_back(static_cast<std::uint8_t>(address.kind));
    put_be(body, static_cast<std::uint16_t>(text.size()));
    put_bytes(body, text);
  }
  return body;
}

std::optional<DirRecord> DirRecord::from_bytes(ByteView body) {
  if (body.size() < kHeaderBytes || body[0] != kRecordVersion) return std::nullopt;
  ByteReader reader(body.subspan(1));
  DirRecord record;
  record.identity = *reader.array<32>();
  record.seq = *reader.u64();
  record.expires_at = *reader.u64();
  const std::uint8_t count = *reader.u8();
  if (count > DIR_MAX_ADDRS) return std::nullopt;
  record.addrs.reserve(count);
  for (std::uint8_t i = 0; i < count; ++i) {
    auto address = read_address(reader);
    if (!address) return std::nullopt;
    record.addrs.push_back(std::move(*address));
  }
  if (!reader.at_end()) return std::nullopt;
  return record;
}

PlainSecret32 dir_key(KeyView root, KeyView publisher) {
  return crypto::hmac_sha256(root, {as_bytes(labels::kDirectoryKey), publisher});
}

Key32 dir_loc(KeyView root, KeyView publisher, std::uint64_t epoch) {
  const auto epoch_bytes = be_bytes(epoch);
  return crypto::hmac_sha256(root, {as_bytes(labels::kDirectoryLocation), publisher, epoch_bytes});
}

crypto::Nonce12 dir_nonce(KeyView record_key, std::uint64_t epoch, std::uint64_t seq) {
  const auto epoch_bytes = be_bytes(epoch);
  const auto seq_bytes = be_bytes(seq);
  return crypto::derive_nonce(record_key,
                              {as_bytes(labels::kDirectoryNonce), epoch_bytes, seq_bytes});
}

std::optional<Published> publish(KeyView root, const identity::Identity& publisher,
                                 std::uint64_t seq, std::uint64_t expires_at,
                                 std::span<const Address> addrs, std::uint64_t epoch) {
  const DirRecord record{publisher.public_key(), seq, expires_at, {addrs.begin(), addrs.end()}};
  const auto body = record.to_bytes();
  if (!body) return std::nullopt;
  Bytes signed_record = *body;
  put_bytes(signed_record, publisher.sign(signing_message(*body)));

  const crypto::HeldErrorQueue held;
  const PlainSecret32 record_key = dir_key(root, publisher.public_key());
  const crypto::Nonce12 nonce = dir_nonce(record_key, epoch, seq);
  Published out{dir_loc(root, publisher.public_key(), epoch), Bytes(nonce.begin(), nonce.end())};
  put_bytes(out.blob,
            crypto::seal(record_key, nonce, as_bytes(labels::kDirectoryRecordData), signed_record));
  return out;
}

std::optional<DirRecord> read(KeyView root, KeyView publisher, ByteView blob) {
  if (blob.size() < kShortestBlob) return std::nullopt;
  const crypto::HeldErrorQueue held;
  const PlainSecret32 record_key = dir_key(root, publisher);
  const crypto::NonceView nonce(blob.first<kNonceBytes>());
  const auto plaintext = crypto::open(record_key, nonce, as_bytes(labels::kDirectoryRecordData),
                                      blob.subspan(kNonceBytes));
  if (!plaintext || plaintext->size() < kSignatureBytes) return std::nullopt;
  const ByteView signed_record(*plaintext);
  const ByteView body = signed_record.first(signed_record.size() - kSignatureBytes);
  const FixedView<kSignatureBytes> signature(signed_record.last<kSignatureBytes>());
  if (!identity::verify(publisher, signing_message(body), signature)) return std::nullopt;
  auto record = DirRecord::from_bytes(body);
  if (!record || !std::equal(publisher.begin(), publisher.end(), record->identity.begin())) {
    return std::nullopt;
  }
  return record;
}

}  // namespace vostrel::directory
