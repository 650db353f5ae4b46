#pragma once
// What the provider's TLS half and its certificate half share: a certificate context behind
// the platform's CERT_CONTEXT, and the stores that own them.
#include <memory>
#include <string>
#include <vector>

#include "tls/IdSSLOpenSSLHeaders.h"
#include "tls/qorSSPI_Provider.h"

struct TCertStore;

// A certificate of a store. Callers hold references (each also keeps the store alive); the
// store owns the object.
struct TCertContext {
  CERT_CONTEXT Public;  // first: a PCCERT_CONTEXT points here
  TCertStore* Store = nullptr;
  int Refs = 0;
  PX509 X509 = nullptr;
  PEVP_PKEY Key = nullptr;
  std::vector<uint8_t> Der;
};

TCertContext* CertImpl(PCCERT_CONTEXT AContext);
// A new in-memory store with one reference held by the caller.
HCERTSTORE NewMemoryStore();
// Adds a certificate (and its private key, if any) to a store; the store takes both.
TCertContext* AddToStore(HCERTSTORE AStore, PX509 AX509, PEVP_PKEY AKey);
// A caller reference to a context of a store.
PCCERT_CONTEXT ReferenceCert(TCertContext* AContext);

// The OpenSSL binding the provider needs (1.1 generation or later); false when it is absent.
bool ProviderLibraryReady();
// The SHA-1 thumbprint of a certificate.
std::vector<uint8_t> Thumbprint(PX509 AX509);
