// Base64, the Blowfish text cipher of the login cookie and the
// stored-password cipher.
#ifndef KV_RUNTIME_BLOWFISH_H
#define KV_RUNTIME_BLOWFISH_H

#include <cstddef>
#include <cstdint>

// ---- Standard base64 (RFC 4648 alphabet, "=" padding) ----

// Output bytes to64frombits needs for len input bytes, terminator included.
#define BASE64_ENCODED_SIZE(len) (4 * (((size_t)(len) + 2) / 3) + 1)

// Encodes len bytes with padding and a terminator into out, which holds
// outsize bytes.  Returns the characters written (terminator excluded), or
// -1 when out is too small (out then holds the empty text when outsize > 0).
int64_t to64frombits(unsigned char *out, size_t outsize,
                     const unsigned char *in, size_t len);

// Decodes a base64 text (a leading "+ " is skipped) into out, which holds
// outsize bytes.  Returns the bytes written; 0 for a text that begins with a
// carriage return; -1 for a text that is not valid padded base64 or whose
// decoded bytes would not fit.
int64_t from64tobits(char *out, size_t outsize, const char *in);

// One base64 quantum: len (1 to 3) bytes of in to 4 characters of out, "="
// in the places of missing bytes.  Returns the fourth character.
unsigned char encodeblock(const unsigned char *in, unsigned char *out, int len);

// Four 6-bit values of in to three bytes of out.
void decodeblock(const unsigned char *in, unsigned char *out);

// ---- Blowfish text cipher ----

// The 64-character text alphabet of blowfish_encrypt.
extern const char *base64;

// Value (0-63) of c in the text alphabet; 0 for any other character.
int base64dec(char c);

// Makes the schedule of key (len >= 1 bytes) the one used by
// blowfish_encipher and blowfish_decipher, from the 3-slot cache or newly
// computed into the first free slot (or slot when all are full).  The
// schedule in use is process-wide: callers other than blowfish_encrypt and
// blowfish_decrypt must not run concurrently with them.
void blowfish_init(const char *key, int len, int slot);

// One 64-bit block in place with the schedule in use.
void blowfish_encipher(unsigned *left, unsigned *right);
void blowfish_decipher(unsigned *left, unsigned *right);

// 12 text-alphabet characters per 8-byte block of text (the last block
// padded with zero bytes).  A new string the caller frees; null for an
// empty or null key or text pointer.  Thread-safe.
char *blowfish_encrypt(const char *key, const char *text);

// The inverse: 8 bytes per 12 characters, terminated.  A new string the
// caller frees; null for an empty or null key or text pointer.
char *blowfish_decrypt(const char *key, const char *text);

// ---- OpenSSL set-up and the stored-password cipher ----

// Loads OpenSSL's "default" and "legacy" providers so that EVP_rc4 works.
// Start-up calls it once before any stored password is read; false (with
// the reason logged) means stored passwords cannot be decoded and start-up
// must stop.  Calling it again is harmless.
bool crypto_init();

// Process-wide key and initialisation vector of the stored-password
// cipher (RC4 uses the first 16 bytes of the key and ignores the vector).
extern const unsigned char privatise_key[16];
extern const unsigned char privatise_iv[16];

// Limits of the stored form: plaintexts up to 767 bytes, stored forms up
// to 2048 characters.
#define PRIVATISE_PLAIN_MAX 767
#define PRIVATISE_STORED_MAX 2048

// Writes the stored form of len (1..PRIVATISE_PLAIN_MAX) plaintext bytes to
// out (outsize bytes; two characters per symbol, no terminator).  Returns
// the number of symbols, or -1 on failure or when out is too small.
int kelvarine_privatise(const unsigned char *plain, const unsigned char *key,
                        const unsigned char *iv, unsigned char *out,
                        size_t outsize, int len);

// Recovers the plaintext from len characters of stored form into out
// (outsize bytes, no terminator written).  Returns the plaintext length, or
// -1 for a form that is not valid, a failing cipher call, or a plaintext
// that does not fit.
int kelvarine_deprivatise(const unsigned char *stored, const unsigned char *key,
                          const unsigned char *iv, unsigned char *out,
                          size_t outsize, int len);

#endif
