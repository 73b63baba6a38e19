// A PKCS#11 module for tests that misbehaves on request: every call goes to SoftHSM2 (the keys
// live there), except that QIV_TEST_FAULT names one way to differ:
//   pause-after-generate  after C_GenerateKeyPair: create the file QIV_TEST_MARKER, wait 1 s
//   pause-after-create    the same after each C_CreateObject
//   half-generate         C_GenerateKeyPair keeps only the public key and reports a device error
//   rival-after-generate  after C_GenerateKeyPair: a data object with the same label appears, as
//                         if another command had made its key under that name meanwhile
//   write-sign-input      C_Sign flips a bit of its input, then signs that
//   short-signature       C_Sign signs until the signature has a leading zero byte, then
//                         returns it without that byte (a shorter, still correct answer)
//   slots-overflow        C_GetSlotList reports (CK_ULONG)-1 slots
//   fail-find-init        C_FindObjectsInit fails
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

namespace {

CK_FUNCTION_LIST* real = nullptr;
CK_FUNCTION_LIST mine;

// What C_SignInit was given, to sign again for short-signature.
CK_MECHANISM signMechanism{};
CK_RSA_PKCS_PSS_PARAMS signParams{};
CK_OBJECT_HANDLE signKey = 0;

bool fault(std::string_view name) {
  const char* value = std::getenv("QIV_TEST_FAULT");
  return value != nullptr && name == value;
}

void mark_and_pause() {
  if (const char* marker = std::getenv("QIV_TEST_MARKER")) {
    const int fd = ::open(marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  timespec left{1, 0};
  while (::nanosleep(&left, &left) != 0) {
  }
}

CK_RV generate(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pub, CK_ULONG pubCount,
               CK_ATTRIBUTE_PTR priv, CK_ULONG privCount, CK_OBJECT_HANDLE_PTR pubKey,
               CK_OBJECT_HANDLE_PTR privKey) {
  const CK_RV rv = real->C_GenerateKeyPair(s, m, pub, pubCount, priv, privCount, pubKey, privKey);
  if (rv == CKR_OK && fault("pause-after-generate")) mark_and_pause();
  if (rv == CKR_OK && fault("rival-after-generate")) {
    for (CK_ULONG i = 0; i < pubCount; ++i) {
      if (pub[i].type != CKA_LABEL) continue;
      CK_OBJECT_CLASS data = CKO_DATA;
      CK_BBOOL yes = CK_TRUE;
      CK_ATTRIBUTE rival[] = {{CKA_CLASS, &data, sizeof data},
                              {CKA_TOKEN, &yes, sizeof yes},
                              pub[i]};
      CK_OBJECT_HANDLE made = 0;
      real->C_CreateObject(s, rival, 3, &made);
    }
  }
  if (rv == CKR_OK && fault("half-generate")) {
    real->C_DestroyObject(s, *privKey);
    return CKR_DEVICE_ERROR;
  }
  return rv;
}

CK_RV create(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG count, CK_OBJECT_HANDLE_PTR object) {
  const CK_RV rv = real->C_CreateObject(s, t, count, object);
  if (rv == CKR_OK && fault("pause-after-create")) mark_and_pause();
  return rv;
}

CK_RV sign_init(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE key) {
  if (m != nullptr && m->pParameter != nullptr && m->ulParameterLen == sizeof signParams) {
    std::memcpy(&signParams, m->pParameter, sizeof signParams);
    signMechanism = {m->mechanism, &signParams, sizeof signParams};
    signKey = key;
  }
  return real->C_SignInit(s, m, key);
}

CK_RV sign(CK_SESSION_HANDLE s, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength) {
  if (fault("write-sign-input") && data != nullptr && length != 0) data[0] ^= 1;
  if (!fault("short-signature") || signature == nullptr) {
    return real->C_Sign(s, data, length, signature, signatureLength);
  }
  // PSS signatures are salted: about one in 256 starts with a zero byte.
  std::vector<CK_BYTE> full(*signatureLength);
  for (int attempt = 0; attempt < 100000; ++attempt) {
    CK_ULONG got = full.size();
    CK_RV rv = real->C_Sign(s, data, length, full.data(), &got);
    if (rv != CKR_OK) return rv;
    if (got == full.size() && full[0] == 0) {
      std::memcpy(signature, full.data() + 1, got - 1);
      *signatureLength = got - 1;
      return CKR_OK;
    }
    rv = real->C_SignInit(s, &signMechanism, signKey);
    if (rv != CKR_OK) return rv;
  }
  return CKR_GENERAL_ERROR;
}

CK_RV slot_list(CK_BBOOL present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
  if (fault("slots-overflow") && slots == nullptr) {
    *count = ~CK_ULONG{0};
    return CKR_OK;
  }
  return real->C_GetSlotList(present, slots, count);
}

CK_RV find_init(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG count) {
  if (fault("fail-find-init")) return CKR_GENERAL_ERROR;
  return real->C_FindObjectsInit(s, t, count);
}

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (real == nullptr) {
    void* softhsm = ::dlopen(QIV_SOFTHSM2_MODULE, RTLD_NOW | RTLD_LOCAL);
    void* symbol = softhsm != nullptr ? ::dlsym(softhsm, "C_GetFunctionList") : nullptr;
    CK_C_GetFunctionList getList = nullptr;
    std::memcpy(&getList, &symbol, sizeof getList);
    if (getList == nullptr || getList(&real) != CKR_OK) return CKR_GENERAL_ERROR;
    mine = *real;
    mine.C_GenerateKeyPair = generate;
    mine.C_CreateObject = create;
    mine.C_SignInit = sign_init;
    mine.C_Sign = sign;
    mine.C_GetSlotList = slot_list;
    mine.C_FindObjectsInit = find_init;
  }
  *list = &mine;
  return CKR_OK;
}
