#pragma once

// Every domain label of the system. A label is placed as raw bytes, without length or terminator,
// at the front of what an HMAC, hash, signature or key derivation binds, so two purposes that
// shared one would bind the same bytes: each label is unique, and each has its family's form,
// both checked below when this header compiles. A new label goes into kAll as well.

#include <array>
#include <cstddef>
#include <string_view>

namespace vostrel::labels {

// Key agreement and the live conversation.
inline constexpr std::string_view kHybridKem = "vostrel/v1/hybrid-kem";
inline constexpr std::string_view kHandshakeAuth = "vostrel/handshake-auth/v1";
inline constexpr std::string_view kRatchetRoot = "vostrel/v1/ratchet-rk";
inline constexpr std::string_view kRatchetMessage = "vostrel/v1/msg";

// Stored formats.
inline constexpr std::string_view kIdentityAtRest = "vostrel/identity-at-rest/v1";
inline constexpr std::string_view kContactsAtRest = "vostrel/contacts-at-rest/v1";
inline constexpr std::string_view kMessageLogAtRest = "vostrel/message-log-at-rest/v1";

// Relay, proof of work and the blind mailbox.
inline constexpr std::string_view kPowStamp = "vostrel/v1/pow";
inline constexpr std::string_view kRelayCapability = "vostrel/v1/relay-capability";
inline constexpr std::string_view kRelayRequestId = "vostrel/v1/relay-request-id";
inline constexpr std::string_view kMailboxLocation = "vostrel/v1/loc";
inline constexpr std::string_view kQueueSecret = "vostrel/v1/queue-secret";
inline constexpr std::string_view kBoxKey = "vostrel/v1/boxkey";

// The send chain of offline delivery.
inline constexpr std::string_view kChainInit = "vostrel/v1/async/chain-init";
inline constexpr std::string_view kChainMessage = "vostrel/v1/async/msg";
inline constexpr std::string_view kChainNext = "vostrel/v1/async/chain";
inline constexpr std::string_view kChainEncryption = "vostrel/v1/async/enc";
inline constexpr std::string_view kChainNonce = "vostrel/v1/async/nonce";
inline constexpr std::string_view kChainMixIn = "vostrel/v1/async/pcs-mixin";

// Prekeys, envelopes and their publication.
inline constexpr std::string_view kPrekeyBundle = "vostrel/v1/prekey-bundle";
inline constexpr std::string_view kEnvelopeKey = "vostrel/v1/mbx/env";
inline constexpr std::string_view kEnvelopeNonce = "vostrel/v1/env-nonce";
inline constexpr std::string_view kEnvelopeLocation = "vostrel/v1/mbx/loc";
inline constexpr std::string_view kPrekeySeal = "vostrel/v1/prekey/seal";
inline constexpr std::string_view kPrekeyLocation = "vostrel/v1/prekey/loc";
inline constexpr std::string_view kPrekeyNonce = "vostrel/v1/prekey-nonce";

// Invitations.
inline constexpr std::string_view kInvitePrekey = "vostrel/v1/invite-prekey";
inline constexpr std::string_view kInviteTranscript = "vostrel/v1/invite-transcript";
inline constexpr std::string_view kPairwiseRoot = "vostrel/v1/pairwise-root";
inline constexpr std::string_view kInviteRequestLocation = "vostrel/v1/invite-req-loc";
inline constexpr std::string_view kInviteAcceptLocation = "vostrel/v1/invite-acc-loc";
inline constexpr std::string_view kInviteSeal = "vostrel/v1/invite-seal";

// Directory records.
inline constexpr std::string_view kDirectoryKey = "vostrel/v1/dir-key";
inline constexpr std::string_view kDirectoryLocation = "vostrel/v1/dir-loc";
inline constexpr std::string_view kDirectoryNonce = "vostrel/v1/dir-nonce";
inline constexpr std::string_view kDirectoryRecord = "vostrel/v1/dir-record";
// The sealed record's associated data: deliberately without a version segment, unlike the
// signature label kDirectoryRecord.
inline constexpr std::string_view kDirectoryRecordData = "vostrel/dir-record";

// Identity migration.
inline constexpr std::string_view kIdentityMigration = "vostrel/v1/identity-migration";
inline constexpr std::string_view kMigrateLocation = "vostrel/v1/migrate-loc";
inline constexpr std::string_view kMigrateKey = "vostrel/v1/migrate-key";

// Attachments.
inline constexpr std::string_view kMediaChunkNonce = "vostrel/v1/media/chunk-nonce";

// Most labels are "vostrel/v1/" and a purpose; the stored formats are "vostrel/", the format and
// "-at-rest/v1"; a few, each listed as such, are written otherwise.
enum class Family { Versioned, AtRest, Other };

struct Label {
  std::string_view text;
  Family family;
};

inline constexpr std::array kAll{
    Label{kHybridKem, Family::Versioned},
    Label{kHandshakeAuth, Family::Other},
    Label{kRatchetRoot, Family::Versioned},
    Label{kRatchetMessage, Family::Versioned},
    Label{kIdentityAtRest, Family::AtRest},
    Label{kContactsAtRest, Family::AtRest},
    Label{kMessageLogAtRest, Family::AtRest},
    Label{kPowStamp, Family::Versioned},
    Label{kRelayCapability, Family::Versioned},
    Label{kRelayRequestId, Family::Versioned},
    Label{kMailboxLocation, Family::Versioned},
    Label{kQueueSecret, Family::Versioned},
    Label{kBoxKey, Family::Versioned},
    Label{kChainInit, Family::Versioned},
    Label{kChainMessage, Family::Versioned},
    Label{kChainNext, Family::Versioned},
    Label{kChainEncryption, Family::Versioned},
    Label{kChainNonce, Family::Versioned},
    Label{kChainMixIn, Family::Versioned},
    Label{kPrekeyBundle, Family::Versioned},
    Label{kEnvelopeKey, Family::Versioned},
    Label{kEnvelopeNonce, Family::Versioned},
    Label{kEnvelopeLocation, Family::Versioned},
    Label{kPrekeySeal, Family::Versioned},
    Label{kPrekeyLocation, Family::Versioned},
    Label{kPrekeyNonce, Family::Versioned},
    Label{kInvitePrekey, Family::Versioned},
    Label{kInviteTranscript, Family::Versioned},
    Label{kPairwiseRoot, Family::Versioned},
    Label{kInviteRequestLocation, Family::Versioned},
    Label{kInviteAcceptLocation, Family::Versioned},
    Label{kInviteSeal, Family::Versioned},
    Label{kDirectoryKey, Family::Versioned},
    Label{kDirectoryLocation, Family::Versioned},
    Label{kDirectoryNonce, Family::Versioned},
    Label{kDirectoryRecord, Family::Versioned},
    Label{kDirectoryRecordData, Family::Other},
    Label{kIdentityMigration, Family::Versioned},
    Label{kMigrateLocation, Family::Versioned},
    Label{kMigrateKey, Family::Versioned},
    Label{kMediaChunkNonce, Family::Versioned},
};

namespace detail {

inline constexpr std::string_view kSystem = "vostrel/";
inline constexpr std::string_view kVersioned = "vostrel/v1/";
inline constexpr std::string_view kAtRest = "-at-rest/v1";

// Printable ASCII without spaces.
constexpr bool is_plain_ascii(std::string_view text) {
  for (const char c : text) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

constexpr bool is_versioned(std::string_view text) {
  return text.starts_with(kVersioned) && text.size() > kVersioned.size();
}

constexpr bool is_at_rest(std::string_view text) {
  return text.starts_with(kSystem) && text.ends_with(kAtRest) &&
         text.size() > kSystem.size() + kAtRest.size();
}

constexpr bool has_form(const Label& label) {
  if (!is_plain_ascii(label.text)) return false;
  switch (label.family) {
    case Family::Versioned:
      return is_versioned(label.text);
    case Family::AtRest:
      return is_at_rest(label.text);
    case Family::Other:
      // Filed as an exception only when it is one.
      return label.text.starts_with(kSystem) && !is_versioned(label.text) &&
             !is_at_rest(label.text);
  }
  return false;
}

constexpr bool all_have_their_form() {
  for (const Label& label : kAll) {
    if (!has_form(label)) return false;
  }
  return true;
}

constexpr bool all_unique() {
  for (std::size_t i = 0; i < kAll.size(); ++i) {
    for (std::size_t j = i + 1; j < kAll.size(); ++j) {
      if (kAll[i].text == kAll[j].text) return false;
    }
  }
  return true;
}

constexpr std::size_t count(Family family) {
  std::size_t n = 0;
  for (const Label& label : kAll) n += label.family == family ? 1 : 0;
  return n;
}

}  // namespace detail

static_assert(detail::all_have_their_form(), "a label without its family's form");
static_assert(detail::all_unique(), "two purposes share one label");
static_assert(detail::count(Family::Other) == 2, "a new label written outside both families");

}  // namespace vostrel::labels
