// Golden texts of Tarnwick_V21's screens, written out in full so that a test compares the
// program's output with them byte for byte. Note the texts' own spellings ("Posession"), the
// doubled blank before the key file name in the last examples, and the v1.1 example that
// repeats its placeholders: they are part of the interface.
#pragma once

#include <string>

inline const std::string kArgumentCountHintText = "tarnwick_V21 -v1.1(or -v2.1) -help\n";
inline const std::string kVersionText = "tarnWick version 2.1\n";

inline const std::string kNoticeText =
    "  Signs and checks what a device's secure boot trusts: key pairs with\n"
    "  their eFuse values, secured first-stage and signed second-stage loaders.\n"
    "  A private key file lets its holder sign images that devices accept:\n"
    "  keep it on a protected machine and never pass it on.\n"
    "  Images are verified here exactly as a device verifies them.\n"
    "  Add -help after the set selector for the commands of this set.\n"
    "\n";

inline const std::string kBannerV21 =
    "\n***Tarnwick v2.1 for Orvalle Application Processor***\n" + kNoticeText;
inline const std::string kBannerV11 =
    "\n***Tarnwick v1.1 for Orvalle Application Processor***\n" + kNoticeText;

inline const std::string kUsageV21 =
    "Usage: Orvalle Tessik's own Keypair generation\n"
    "#>Tarnwick_V21 -v2.1 -KEYGEN\n"
    "ex) #>Tarnwick_V21 -v2.1 -KEYGEN\n"
    "publicKeyInfo_V21.dat, privateKey_V21.dat and eFuseData_V21.dat are generated.\n"
    "\n\n"
    "Usage: Customer's own Keypair generation\n"
    "#>Tarnwick_V21 -v2.1 <key file> -STAGE2_KEYGEN\n"
    "ex) #>Tarnwick_V21 -v2.1 stage2Key -STAGE2_KEYGEN\n"
    "stage2Key_V21.spk and stage2Key_V21.prv are generated.\n"
    "\n\n"
    "Usage: For Secured BL1 code generation\n"
    "#>Tarnwick_V21 -v2.1 <source file> <destination file> -STAGE1\n"
    "ex) #>Tarnwick_V21 -v2.1 BL1.bin secured_BL1_V21.bin -STAGE1\n"
    "secured_BL1_V21.bin is generated.\n"
    "\n\n"
    "Usage: For Secured BL2 code generation\n"
    "#>Tarnwick_V21 -v2.1 <source file> <destination file> <private key file> -STAGE2\n"
    "ex) #>Tarnwick_V21 -v2.1 BL2.bin secured_BL2_V21.bin stage2Key_V21.prv -STAGE2\n"
    "secured_BL2_V21.bin is generated.\n"
    "\n\n"
    "Usage: For Proof of Posession of Private Key\n"
    "#>Tarnwick_V21 -v2.1 <secured_BL1_V21.bin> <eFuseData_V21.dat> -VERIFY\n"
    "ex) #>Tarnwick_V21 -v2.1 secured_BL1_V21.bin eFuseData_V21.dat -VERIFY\n"
    "The Proof of Posession of Private Key is verified\n"
    "\n\n"
    "Usage: For Secured BL2 code verification\n"
    "#>Tarnwick_V21 -v2.1 <secured_BL2_V21.bin> <public key file> -STAGE2_VERIFY\n"
    "ex) #>Tarnwick_V21 -v2.1 secured_BL2_V21.bin  stage2Key_V21.spk -STAGE2_VERIFY\n"
    "secured_BL2_V21.bin is verified.\n"
    "\n\n"
    "Usage: Keys in a hardware token (PKCS#11)\n"
    "#>Tarnwick_V21 -v2.1 <pkcs11-URI> -KEYGEN\n"
    "#>Tarnwick_V21 -v2.1 <key file> <pkcs11-URI> -STAGE2_KEYGEN\n"
    "#>Tarnwick_V21 -v2.1 <private key file> <pkcs11-URI> <key reference file> -TOKEN_IMPORT\n"
    "ex) #>Tarnwick_V21 -v2.1 privateKey_V21.dat \"pkcs11:token=signing;object=maker-v21\" privateKey_V21.dat.ref -TOKEN_IMPORT\n"
    "The private key file then holds the URI; the key stays in the token.\n"
    "\n\n";

inline const std::string kUsageV11 =
    "Usage: Orvalle Tessik's own Keypair generation\n"
    "#>Tarnwick_V21 -v1.1 -KEYGEN\n"
    "ex) #>Tarnwick_V21 -v1.1 -KEYGEN\n"
    "publicKeyInfo.dat, privateKey.dat and eFuseData.dat are generated.\n"
    "\n\n"
    "Usage: Customer's own Keypair generation\n"
    "#>Tarnwick_V21 -v1.1 <key file> -STAGE2_KEYGEN\n"
    "ex) #>Tarnwick_V21 -v1.1 stage2Key -STAGE2_KEYGEN\n"
    "stage2Key.spk and stage2Key.prv are generated.\n"
    "\n\n"
    "Usage: For Secured BL1 code generation\n"
    "#>Tarnwick_V21 -v1.1 <source file> <destination file> -STAGE1\n"
    "ex) #>Tarnwick_V21 -v1.1 BL1.bin secured_BL1_V11.bin -STAGE1\n"
    "secured_BL1_V11.bin is generated.\n"
    "\n\n"
    "Usage: For Secured BL2 code generation\n"
    "#>Tarnwick_V21 -v1.1 <source file> <destination file> <private key file> -STAGE2\n"
    "ex) #>Tarnwick_V21 -v1.1 BL2.bin secured_BL2.bin stage2Key.prv -STAGE2\n"
    "secured_BL2.bin is generated.\n"
    "\n\n"
    "Usage: For Proof of Posession of Private Key\n"
    "#>Tarnwick_V21 -v1.1 <secured_BL1_V11.bin> <eFuseData.dat> -VERIFY\n"
    "ex) #>Tarnwick_V21 -v1.1 <secured_BL1_V11.bin> <eFuseData.dat> -VERIFY\n"
    "The Proof of Posession of Private Key is verified\n"
    "\n\n"
    "Usage: For Secured BL2 code verification\n"
    "#>Tarnwick_V21 -v1.1 <secured_BL2.bin> <public key file> -STAGE2_VERIFY\n"
    "ex) #>Tarnwick_V21 -v1.1 secured_BL2.bin  stage2Key.spk -STAGE2_VERIFY\n"
    "secured_BL2.bin is verified.\n"
    "\n\n"
    "Usage: Keys in a hardware token (PKCS#11)\n"
    "#>Tarnwick_V21 -v1.1 <pkcs11-URI> -KEYGEN\n"
    "#>Tarnwick_V21 -v1.1 <key file> <pkcs11-URI> -STAGE2_KEYGEN\n"
    "#>Tarnwick_V21 -v1.1 <private key file> <pkcs11-URI> <key reference file> -TOKEN_IMPORT\n"
    "ex) #>Tarnwick_V21 -v1.1 privateKey.dat \"pkcs11:token=signing;object=maker-v11\" privateKey.dat.ref -TOKEN_IMPORT\n"
    "The private key file then holds the URI; the key stays in the token.\n"
    "\n\n";

// Result lines: what a command prints after the banner. Each is written here once, so that a
// change of the program's wording shows up in every suite that holds it.
inline const std::string kGeneratingV21 = "RSA 2048 bits key is generating...\n";
inline const std::string kGeneratingV11 = "RSA 1024 bits key is generating...\n";
inline const std::string kKeyPairFailed = "Key pair generation is failed.\n";
inline const std::string kKeyPairNeedsRandomDevice =
    "Key pair generation needs the kernel random device.\n";
inline const std::string kKeyFileNameTooLong = "Key file name is too long.\n";

inline const std::string kStage1Generated = "Stage 1: Signature generation is successful.\n";
inline const std::string kStage1GenerationFailed = "Stage 1: Signature generation is failed.\n";
inline const std::string kStage1Verified = "Stage 1: Signature verification is successful.\n";
inline const std::string kStage1VerificationFailed =
    "Stage 1: Signature verification is failed.\n";
inline const std::string kStage2Generated = "Stage 2: Signature generation is successful.\n";
inline const std::string kStage2GenerationFailed = "Stage 2: Signature generation is failed.\n";
inline const std::string kStage2Verified = "Stage 2: Signature verification is successful.\n";
inline const std::string kStage2VerificationFailed =
    "Stage 2: Signature verification is failed.\n";
inline const std::string kPoppFailure =
    "Invalid Stage 2 Public Key: POPP(Proof of Posession Private Key) Failure\n";

inline const std::string kFileOpenError = "file open error\n";
inline const std::string kFileReadError = "file read error\n";
inline const std::string kFileWriteError = "file write error\n";

// The refusals that name a key file.
inline std::string key_file_exists_text(const std::string& key) {
  return "Key file " + key + " exists already: move or remove it first.\n";
}
inline std::string output_is_key_file_text(const std::string& key) {
  return "The output file is the key file " + key + ".\n";
}
