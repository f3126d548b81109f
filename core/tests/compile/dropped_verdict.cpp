// Compiled only, never run. Every call discards its result explicitly, except the one that a
// DROP_<case> macro names, which drops it: the build with warnings as errors must refuse that.

#include "vostrel/contacts.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/offline.hpp"
#include "vostrel/prekey.hpp"
#include "vostrel/relay.hpp"
#include "vostrel/rotation.hpp"

using namespace vostrel;

#if defined(DROP_identity_verify)
#define IDENTITY_VERIFY(call) call
#elif defined(DROP_bundle_verify)
#define BUNDLE_VERIFY(call) call
#elif defined(DROP_establish_root)
#define ESTABLISH_ROOT(call) call
#elif defined(DROP_ingest)
#define INGEST(call) call
#elif defined(DROP_try_pull)
#define TRY_PULL(call) call
#elif defined(DROP_from_encrypted)
#define FROM_ENCRYPTED(call) call
#elif defined(DROP_verify_migration)
#define VERIFY_MIGRATION(call) call
#endif

#define KEEP(call) static_cast<void>(call)
#ifndef IDENTITY_VERIFY
#define IDENTITY_VERIFY KEEP
#endif
#ifndef BUNDLE_VERIFY
#define BUNDLE_VERIFY KEEP
#endif
#ifndef ESTABLISH_ROOT
#define ESTABLISH_ROOT KEEP
#endif
#ifndef INGEST
#define INGEST KEEP
#endif
#ifndef TRY_PULL
#define TRY_PULL KEEP
#endif
#ifndef FROM_ENCRYPTED
#define FROM_ENCRYPTED KEEP
#endif
#ifndef VERIFY_MIGRATION
#define VERIFY_MIGRATION KEEP
#endif

void probe(KeyView key, ByteView bytes, const identity::Signature& signature,
           const prekey::PrekeyBundle& bundle, contacts::Contacts& book,
           offline::OfflineReceiver& receiver, relay::Relay& relay,
           const relay::RelayRequest& request, const rotation::MigrationRecord& record) {
  IDENTITY_VERIFY(identity::verify(key, bytes, signature));
  BUNDLE_VERIFY(bundle.verify(key, 0));
  ESTABLISH_ROOT(book.establish_root("alice", key));
  INGEST(offline::ingest(receiver, bytes));
  TRY_PULL(relay::try_pull(relay, request, 0));
  FROM_ENCRYPTED(identity::Identity::from_encrypted(key, bytes));
  VERIFY_MIGRATION(rotation::verify_migration(record, key));
}
