#include <windows.h>
#include <wincrypt.h>

#include "net/proxy_get.h"

namespace {

// crypt32's entry points, found at run time like WinHTTP's: only an HTTPS
// exchange loads it (WinHTTP itself has by then), and the programs' imports
// stay what they were.
struct Crypt {
  decltype(&CertGetCertificateChain) getChain;
  decltype(&CertVerifyCertificateChainPolicy) verifyPolicy;
  decltype(&CertFreeCertificateChain) freeChain;
  decltype(&CertFreeCertificateContext) freeContext;
};

template <typename Function>
bool Find(HMODULE dll, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
  return *function != nullptr;
}

// Filled once, on the exchange's thread, as WinHTTP's table.
const Crypt* LoadCrypt() {
  static Crypt calls;
  static bool loaded;
  if (loaded) return &calls;
  char path[MAX_PATH + 16];
  UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  lstrcpyA(path + length, "\\crypt32.dll");
  HMODULE dll = LoadLibraryA(path);
  if (dll == nullptr) return nullptr;
  Crypt found{};
  if (!Find(dll, "CertGetCertificateChain", &found.getChain) ||
      !Find(dll, "CertVerifyCertificateChainPolicy", &found.verifyPolicy) ||
      !Find(dll, "CertFreeCertificateChain", &found.freeChain) ||
      !Find(dll, "CertFreeCertificateContext", &found.freeContext)) {
    FreeLibrary(dll);
    return nullptr;
  }
  calls = found;
  loaded = true;
  return &calls;
}

// Unix seconds as the FILETIME the chain engine takes.
FILETIME UnixToFileTime(int64_t unixSeconds) {
  uint64_t ticks = static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

ServerCertificate::~ServerCertificate() { Take(nullptr); }

void ServerCertificate::Take(const void* context) {
  // A context exists only once crypt32 was loaded: WinHTTP made it.
  if (context_ != nullptr) {
    const Crypt* crypt = LoadCrypt();
    if (crypt != nullptr) crypt->freeContext(static_cast<PCCERT_CONTEXT>(context_));
  }
  context_ = context;
}

bool ServerCertificate::VerifiesAt(const char* host, int64_t unixSeconds) const {
  const Crypt* crypt = LoadCrypt();
  if (context_ == nullptr || crypt == nullptr) return false;
  PCCERT_CONTEXT certificate = static_cast<PCCERT_CONTEXT>(context_);
  wchar_t name[256];
  if (MultiByteToWideChar(CP_ACP, 0, host, -1, name, 256) <= 0) return false;
  // The time the server sent, not the PC's: a PC whose clock is far off is
  // the one that asks, and a certificate is valid at the time it vouches for.
  // The server's own intermediates come with the certificate's store.
  FILETIME at = UnixToFileTime(unixSeconds);
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!crypt->getChain(nullptr, certificate, &at, certificate->hCertStore, &chainPara, 0,
                       nullptr, &chain))
    return false;
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = name;
  CERT_CHAIN_POLICY_PARA policyPara{};
  policyPara.cbSize = sizeof policyPara;
  policyPara.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  bool verified = crypt->verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status) &&
                  status.dwError == 0;
  crypt->freeChain(chain);
  return verified;
}
