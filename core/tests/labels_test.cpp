#include "vostrel/labels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

using namespace vostrel;

namespace {

struct Pinned {
  std::string_view constant;
  std::string_view text;
};

// Every label as the protocol writes it, byte for byte. The other checks name the constants, so
// this table is what catches a label changed in one place: every peer would bind other bytes.
constexpr Pinned kPinned[] = {
    {labels::kHybridKem, "vostrel/v1/hybrid-kem"},
    {labels::kHandshakeAuth, "vostrel/handshake-auth/v1"},
    {labels::kRatchetRoot, "vostrel/v1/ratchet-rk"},
    {labels::kRatchetMessage, "vostrel/v1/msg"},
    {labels::kIdentityAtRest, "vostrel/identity-at-rest/v1"},
    {labels::kContactsAtRest, "vostrel/contacts-at-rest/v1"},
    {labels::kMessageLogAtRest, "vostrel/message-log-at-rest/v1"},
    {labels::kPowStamp, "vostrel/v1/pow"},
    {labels::kRelayCapability, "vostrel/v1/relay-capability"},
    {labels::kRelayRequestId, "vostrel/v1/relay-request-id"},
    {labels::kMailboxLocation, "vostrel/v1/loc"},
    {labels::kQueueSecret, "vostrel/v1/queue-secret"},
    {labels::kBoxKey, "vostrel/v1/boxkey"},
    {labels::kChainInit, "vostrel/v1/async/chain-init"},
    {labels::kChainMessage, "vostrel/v1/async/msg"},
    {labels::kChainNext, "vostrel/v1/async/chain"},
    {labels::kChainEncryption, "vostrel/v1/async/enc"},
    {labels::kChainNonce, "vostrel/v1/async/nonce"},
    {labels::kChainMixIn, "vostrel/v1/async/pcs-mixin"},
    {labels::kPrekeyBundle, "vostrel/v1/prekey-bundle"},
    {labels::kEnvelopeKey, "vostrel/v1/mbx/env"},
    {labels::kEnvelopeNonce, "vostrel/v1/env-nonce"},
    {labels::kEnvelopeLocation, "vostrel/v1/mbx/loc"},
    {labels::kPrekeySeal, "vostrel/v1/prekey/seal"},
    {labels::kPrekeyLocation, "vostrel/v1/prekey/loc"},
    {labels::kPrekeyNonce, "vostrel/v1/prekey-nonce"},
    {labels::kInvitePrekey, "vostrel/v1/invite-prekey"},
    {labels::kInviteTranscript, "vostrel/v1/invite-transcript"},
    {labels::kPairwiseRoot, "vostrel/v1/pairwise-root"},
    {labels::kInviteRequestLocation, "vostrel/v1/invite-req-loc"},
    {labels::kInviteAcceptLocation, "vostrel/v1/invite-acc-loc"},
    {labels::kInviteSeal, "vostrel/v1/invite-seal"},
    {labels::kDirectoryKey, "vostrel/v1/dir-key"},
    {labels::kDirectoryLocation, "vostrel/v1/dir-loc"},
    {labels::kDirectoryNonce, "vostrel/v1/dir-nonce"},
    {labels::kDirectoryRecord, "vostrel/v1/dir-record"},
    {labels::kDirectoryRecordData, "vostrel/dir-record"},
    {labels::kIdentityMigration, "vostrel/v1/identity-migration"},
    {labels::kMigrateLocation, "vostrel/v1/migrate-loc"},
    {labels::kMigrateKey, "vostrel/v1/migrate-key"},
    {labels::kMediaChunkNonce, "vostrel/v1/media/chunk-nonce"},
};

}  // namespace

TEST(labels, every_label_has_its_exact_bytes) {
  for (const Pinned& pinned : kPinned) EXPECT_EQ(pinned.constant, pinned.text);
}

// The compile-time checks see only what kAll lists: a label missing there is checked by nothing.
TEST(labels, every_label_is_listed_for_the_compile_time_checks) {
  EXPECT_EQ(std::size(kPinned), labels::kAll.size());
  for (const Pinned& pinned : kPinned) {
    EXPECT_TRUE(std::ranges::any_of(labels::kAll, [&](const labels::Label& listed) {
      return listed.text == pinned.constant;
    })) << pinned.text;
  }
}
