// Manifest::from_bytes against its layout, and a parsed manifest writes back the very bytes.
#include <algorithm>

#include "fuzz_support.hpp"
#include "vostrel/media.hpp"

using namespace vostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto manifest = media::Manifest::from_bytes(input);
  const bool well_formed =
      size >= media::kManifestHeadBytes &&
      input[media::kManifestHeadBytes - 1] <= media::MAX_MIME_LEN &&
      size == media::kManifestHeadBytes + input[media::kManifestHeadBytes - 1] &&
      is_utf8(input.subspan(media::kManifestHeadBytes));
  fuzz::require(manifest.has_value() == well_formed, "exactly the well-formed manifests parse");
  if (!manifest) return 0;
  const SecretBytes bytes = manifest->to_bytes();
  fuzz::require(std::ranges::equal(bytes.view(), input), "a parsed manifest writes back its bytes");
  return 0;
}
