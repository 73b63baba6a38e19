// The commands of the two sets, as the dispatcher (dispatch.h) calls them.
//
// Contract shared by every command:
// - It prints its own result lines (but for the signing commands' success lines, see below); the
//   dispatcher has printed the banner (and, for key pairs,
//   the "generating" line) before the call and prints nothing after it.
// - It reads inputs through files.h and key files through key_store.h. A missing, unreadable
//   or too short input ends the process inside those helpers ("file open error\n" or
//   "file read error\n", status 255). A loader's kKeyFileRejected means: print the command's
//   failure line (the Proof-of-Possession line for a customer public key, the generation or
//   verification failure line otherwise) and return -1.
// - It reads every input before it writes any output. Outputs go through write_file, private
//   key files through write_private_key_file (0600); a failed write makes the result -1.
// - The result is 0 for success; otherwise -1 or a library code. The dispatcher maps codes
//   whose low byte is 0 to -1 (exit_status_for), so a failure never exits with status 0.
#pragma once

#include <cstdint>
#include <string_view>

// The stage-1 and stage-2 signing commands' success lines. The dispatcher's image jobs print
// them once the output file is on disk; the commands themselves print only failures.
inline constexpr std::string_view kStage1GenerationOk =
    "Stage 1: Signature generation is successful.\n";
inline constexpr std::string_view kStage2GenerationOk =
    "Stage 2: Signature generation is successful.\n";

// Key-pair modes.
inline constexpr std::int32_t kMakerMode = 1;     // the maker's files under fixed names
inline constexpr std::int32_t kCustomerMode = 2;  // a customer's files named from baseName

// Key pairs: v2.1 RSA-2048 with e = 3, v1.1 RSA-1024 with e = 65537. baseName is null in maker
// mode. Returns 0 when the pair was generated and every file written in full; otherwise prints
// "Key pair generation is failed.\n" (or, for a base name too long for the 128-byte file name,
// "Key file name is too long.\n" before generating or writing anything, and, when the kernel
// random device gives no bytes, "Key pair generation needs the kernel random device.\n" before
// generating or writing anything) and returns non-zero.
// The dispatcher turns any non-zero result into -1.
std::int32_t sb20_Generate_KeyPair(std::int32_t mode, const char* baseName);
std::int32_t sb10_Generate_KeyPair(std::int32_t mode, const char* baseName);

// The same with the private key generated inside the hardware token the PKCS#11 URI names
// (sensitive, never extractable, sign-only, labelled and identified as the URI says): the
// private key file becomes a key reference (the URI without its PIN), the other files are as
// above, the public key file self-signed in the token. A token failure prints its one line
// (token_keys.h) and writes nothing; a key made before a later failure is removed again.
std::int32_t sb20_Generate_KeyPair_InToken(std::int32_t mode, const char* baseName,
                                           const char* uri);
std::int32_t sb10_Generate_KeyPair_InToken(std::int32_t mode, const char* baseName,
                                           const char* uri);

// "-TOKEN_IMPORT": stores the key of the set's protected private key file keyFile (the maker's
// or a customer's) in the token the URI names and writes referenceFile, a key reference to it.
// keyFile is only read: the user decides when to remove it. Refuses an existing referenceFile,
// a file that holds no key of the set, and a label or id the token holds already. Prints
// "Key stored in the token; key reference written." on success.
namespace sbl {
struct KeySetLayout;
}
std::int32_t Store_Key_InToken(const sbl::KeySetLayout& set, const char* keyFile, const char* uri,
                               const char* referenceFile);

// Stage 1: secure the plain BL1 in image[0, length) in place and leave the finished, self-checked
// context in sb20_Context / sb10_Context (working_buffers.h). The dispatcher owns the buffer:
// it has read the image into it, and on 0 it appends the context and writes the output file.
// The -P variant gets length = code length + 48: it encrypts the code, then fills the 48-byte
// build-information block at image + length - 48 with mk_BL_Info (build_info.h).
// Returns 0, or the failing step's code (the messages of each step are the command's).
std::int32_t sb20_Generate_Stage1(std::uint8_t* image, std::uint32_t length);
std::int32_t sb20_Generate_Stage1_Polymorphic(std::uint8_t* image, std::uint32_t length);
std::int32_t sb10_Generate_Stage1(std::uint8_t* image, std::uint32_t length);

// "-VERIFY": check the secured stage-1 image in imageFile against the eFuse value in eFuseFile
// as a device would. Prints the verification line; returns 0 or -1.
std::int32_t sb20_Verify_Stage1(const char* imageFile, const char* eFuseFile);
std::int32_t sb10_Verify_Stage1(const char* imageFile, const char* eFuseFile);

// Stage 2: sign image[0, length) with the private key file keyFile; the signature goes to
// `signature`, which has room for *signatureLen bytes (preset by the dispatcher to 256 for
// v2.1, 128 for v1.1; the signer stores the length it wrote). The dispatcher owns the buffer
// (signature == image + length) and writes image and signature only on 0.
// Returns 0, or the failing step's code.
std::int32_t sb20_Generate_Stage2(const char* keyFile, std::uint8_t* image, std::uint32_t length,
                                  std::uint8_t* signature, std::uint32_t* signatureLen);
std::int32_t sb10_Generate_Stage2(const char* keyFile, std::uint8_t* image, std::uint32_t length,
                                  std::uint8_t* signature, std::uint32_t* signatureLen);

// "-STAGE2_VERIFY": check the signed stage-2 image in imageFile with the public key file
// keyFile. Prints the verification line; returns 0 or -1.
std::int32_t sb20_Verify_Stage2(const char* imageFile, const char* keyFile);
std::int32_t sb10_Verify_Stage2(const char* imageFile, const char* keyFile);
