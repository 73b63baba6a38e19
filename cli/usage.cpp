#include "cli/usage.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::array<std::string_view, 6> kNotice = {
    "  Signs and checks what a device's secure boot trusts: key pairs with\n",
    "  their eFuse values, secured first-stage and signed second-stage loaders.\n",
    "  A private key file lets its holder sign images that devices accept:\n",
    "  keep it on a protected machine and never pass it on.\n",
    "  Images are verified here exactly as a device verifies them.\n",
    "  Add -help after the set selector for the commands of this set.\n",
};

// Each entry is printed as it stands; "\n\n" entries separate the sections.
constexpr std::array<std::string_view, 37> kUsageV21 = {
    "Usage: Orvalle Tessik's own Keypair generation\n",
    "#>Tarnwick_V21 -v2.1 -KEYGEN\n",
    "ex) #>Tarnwick_V21 -v2.1 -KEYGEN\n",
    "publicKeyInfo_V21.dat, privateKey_V21.dat and eFuseData_V21.dat are generated.\n",
    "\n\n",
    "Usage: Customer's own Keypair generation\n",
    "#>Tarnwick_V21 -v2.1 <key file> -STAGE2_KEYGEN\n",
    "ex) #>Tarnwick_V21 -v2.1 stage2Key -STAGE2_KEYGEN\n",
    "stage2Key_V21.spk and stage2Key_V21.prv are generated.\n",
    "\n\n",
    "Usage: For Secured BL1 code generation\n",
    "#>Tarnwick_V21 -v2.1 <source file> <destination file> -STAGE1\n",
    "ex) #>Tarnwick_V21 -v2.1 BL1.bin secured_BL1_V21.bin -STAGE1\n",
    "secured_BL1_V21.bin is generated.\n",
    "\n\n",
    "Usage: For Secured BL2 code generation\n",
    "#>Tarnwick_V21 -v2.1 <source file> <destination file> <private key file> -STAGE2\n",
    "ex) #>Tarnwick_V21 -v2.1 BL2.bin secured_BL2_V21.bin stage2Key_V21.prv -STAGE2\n",
    "secured_BL2_V21.bin is generated.\n",
    "\n\n",
    "Usage: For Proof of Posession of Private Key\n",
    "#>Tarnwick_V21 -v2.1 <secured_BL1_V21.bin> <eFuseData_V21.dat> -VERIFY\n",
    "ex) #>Tarnwick_V21 -v2.1 secured_BL1_V21.bin eFuseData_V21.dat -VERIFY\n",
    "The Proof of Posession of Private Key is verified\n",
    "\n\n",
    "Usage: For Secured BL2 code verification\n",
    "#>Tarnwick_V21 -v2.1 <secured_BL2_V21.bin> <public key file> -STAGE2_VERIFY\n",
    "ex) #>Tarnwick_V21 -v2.1 secured_BL2_V21.bin  stage2Key_V21.spk -STAGE2_VERIFY\n",
    "secured_BL2_V21.bin is verified.\n",
    "\n\n",
    "Usage: Keys in a hardware token (PKCS#11)\n",
    "#>Tarnwick_V21 -v2.1 <pkcs11-URI> -KEYGEN\n",
    "#>Tarnwick_V21 -v2.1 <key file> <pkcs11-URI> -STAGE2_KEYGEN\n",
    "#>Tarnwick_V21 -v2.1 <private key file> <pkcs11-URI> <key reference file> -TOKEN_IMPORT\n",
    "ex) #>Tarnwick_V21 -v2.1 privateKey_V21.dat \"pkcs11:token=signing;object=maker-v21\" privateKey_V21.dat.ref -TOKEN_IMPORT\n",
    "The private key file then holds the URI; the key stays in the token.\n",
    "\n\n",
};

constexpr std::array<std::string_view, 37> kUsageV11 = {
    "Usage: Orvalle Tessik's own Keypair generation\n",
    "#>Tarnwick_V21 -v1.1 -KEYGEN\n",
    "ex) #>Tarnwick_V21 -v1.1 -KEYGEN\n",
    "publicKeyInfo.dat, privateKey.dat and eFuseData.dat are generated.\n",
    "\n\n",
    "Usage: Customer's own Keypair generation\n",
    "#>Tarnwick_V21 -v1.1 <key file> -STAGE2_KEYGEN\n",
    "ex) #>Tarnwick_V21 -v1.1 stage2Key -STAGE2_KEYGEN\n",
    "stage2Key.spk and stage2Key.prv are generated.\n",
    "\n\n",
    "Usage: For Secured BL1 code generation\n",
    "#>Tarnwick_V21 -v1.1 <source file> <destination file> -STAGE1\n",
    "ex) #>Tarnwick_V21 -v1.1 BL1.bin secured_BL1_V11.bin -STAGE1\n",
    "secured_BL1_V11.bin is generated.\n",
    "\n\n",
    "Usage: For Secured BL2 code generation\n",
    "#>Tarnwick_V21 -v1.1 <source file> <destination file> <private key file> -STAGE2\n",
    "ex) #>Tarnwick_V21 -v1.1 BL2.bin secured_BL2.bin stage2Key.prv -STAGE2\n",
    "secured_BL2.bin is generated.\n",
    "\n\n",
    "Usage: For Proof of Posession of Private Key\n",
    "#>Tarnwick_V21 -v1.1 <secured_BL1_V11.bin> <eFuseData.dat> -VERIFY\n",
    "ex) #>Tarnwick_V21 -v1.1 <secured_BL1_V11.bin> <eFuseData.dat> -VERIFY\n",
    "The Proof of Posession of Private Key is verified\n",
    "\n\n",
    "Usage: For Secured BL2 code verification\n",
    "#>Tarnwick_V21 -v1.1 <secured_BL2.bin> <public key file> -STAGE2_VERIFY\n",
    "ex) #>Tarnwick_V21 -v1.1 secured_BL2.bin  stage2Key.spk -STAGE2_VERIFY\n",
    "secured_BL2.bin is verified.\n",
    "\n\n",
    "Usage: Keys in a hardware token (PKCS#11)\n",
    "#>Tarnwick_V21 -v1.1 <pkcs11-URI> -KEYGEN\n",
    "#>Tarnwick_V21 -v1.1 <key file> <pkcs11-URI> -STAGE2_KEYGEN\n",
    "#>Tarnwick_V21 -v1.1 <private key file> <pkcs11-URI> <key reference file> -TOKEN_IMPORT\n",
    "ex) #>Tarnwick_V21 -v1.1 privateKey.dat \"pkcs11:token=signing;object=maker-v11\" privateKey.dat.ref -TOKEN_IMPORT\n",
    "The private key file then holds the URI; the key stays in the token.\n",
    "\n\n",
};

template <std::size_t N>
void print_lines(const std::array<std::string_view, N>& lines) {
  for (const std::string_view line : lines) print_text(line);
}

}  // namespace

void print_text(std::string_view text) {
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stdout);  // an empty view may be null
}

void print_banner(std::string_view title) {
  print_text("\n");
  print_text(title);
  print_lines(kNotice);
  print_text("\n");
}

void print_SB10_Usage() {
  print_lines(kUsageV11);
}
void print_SB20_Usage() {
  print_lines(kUsageV21);
}
