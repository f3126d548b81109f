// Second, independent ML-KEM-768 implementation for the differential check:
//   node oracle.mjs <ek-hex> <m-hex>
// prints the ciphertext hex (line 1) and the shared secret hex (line 2).
// Exit status: 0 on success, 1 on bad arguments, 2 when the key is refused.
import { ml_kem768 } from '@noble/post-quantum/ml-kem.js';

const EK_BYTES = 1184;
const M_BYTES = 32;
const Q = 3329;

function usage(message) {
  process.stderr.write(`${message}\nusage: node oracle.mjs <ek-hex> <m-hex>\n`);
  process.exit(1);
}

function decodeHex(text, bytes, what) {
  if (typeof text !== 'string' || text.length !== 2 * bytes || !/^[0-9a-fA-F]*$/.test(text)) {
    usage(`${what} must be ${bytes} bytes of hexadecimal text`);
  }
  return Uint8Array.from(Buffer.from(text, 'hex'));
}

const args = process.argv.slice(2);
if (args.length !== 2) usage('expected exactly two arguments');
const ek = decodeHex(args[0], EK_BYTES, 'ek');
const m = decodeHex(args[1], M_BYTES, 'm');

// The input check on ek (FIPS 203, 7.2): each 12-bit coefficient of t-hat is below q. The release
// pinned for Debian's Node.js 18 does not make it, later ones do.
function modulusHolds(key) {
  for (let i = 0; i < 384 * 3; i += 3) {
    const low = key[i] | ((key[i + 1] & 0x0f) << 8);
    const high = (key[i + 1] >> 4) | (key[i + 2] << 4);
    if (low >= Q || high >= Q) return false;
  }
  return true;
}

let result;
try {
  if (!modulusHolds(ek)) throw new Error('a coefficient of the key is not below q');
  result = ml_kem768.encapsulate(ek, m);
} catch (err) {
  process.stderr.write(`encapsulation key refused: ${err && err.message ? err.message : err}\n`);
  process.exit(2);
}
const hex = (bytes) => Buffer.from(bytes).toString('hex');
process.stdout.write(`${hex(result.cipherText)}\n${hex(result.sharedSecret)}\n`);
