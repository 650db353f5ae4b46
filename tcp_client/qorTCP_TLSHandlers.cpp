#include "tcp_client/qorTCP_TLSHandlers.h"

#include "platform/SysUtils.h"
#include "tls/IdSSLOpenSSL.h"
#include "tls/qorSSL_SChannel.h"
#include "transport/IdException.h"

namespace {

TIdSSLIOHandlerSocketBase* CreateOpenSSLHandler(TComponent* aOwner, const TqorSocketTLS_Options& O,
                                                TqorTLSPasswordEvent aOnPassword) {
  auto* LHandler = New<TqorIdSSLIOHandlerSocketOpenSSL>(aOwner);
  try {
    LHandler->SetPassThrough(false);
    SetTLSApiGeneration(O.OpenSSL_Options().APIVersion() == oslAPI_1_1 ? tlsApi1_1 : tlsApi1_0);
    if (O.OpenSSL_Options().LibPath() == oslpDefaultFolder) SetTLSLibraryPath(ExecutableFolder());
    TIdSSLOptions& LOptions = LHandler->SSLOptions();
    switch (O.Version()) {
      case tls1_0:
        LOptions.SetMethod(sslvTLSv1);
        break;
      case tls1_1:
        LOptions.SetMethod(sslvTLSv1_1);
        break;
      case tls1_2:
        LOptions.SetMethod(sslvTLSv1_2);
        break;
      case tls1_3:
        LOptions.SetMethod(sslvTLSv1_3);
        break;
      case tlsUndefined:
        // The handler's own default is TLS 1.0 alone, which current servers refuse: the best
        // version both sides support instead.
        LOptions.SetSSLVersions(SSLVersionBit(sslvTLSv1_2) | SSLVersionBit(sslvTLSv1_3));
        break;
    }
    LHandler->SetALPNProtocols(O.ALPNProtocols());
    LOptions.SetMode(sslmClient);
    LOptions.SetRootCertFile(O.RootCertFile());
    LOptions.SetCertFile(O.CertFile());
    LOptions.SetKeyFile(O.KeyFile());
    LOptions.SetVerifyMode(O.VerifyCertificate() ? sslvrfPeer : 0);
    LHandler->SetOnGetPassword(std::move(aOnPassword));
  } catch (...) {
    delete LHandler;
    throw;
  }
  return LHandler;
}

TIdSSLIOHandlerSocketBase* CreateSChannelHandler(TComponent* aOwner,
                                                 const TqorSocketTLS_Options& O) {
  auto* LHandler = New<TqorIdSSLIOHandlerSocketSChannel>(aOwner);
  try {
    LHandler->SetPassThrough(false);
    LHandler->SetTLSVersion(O.Version());
    TqorSChannelCertificate& LCertificate = LHandler->Certificate();
    LCertificate.VerifyCertificate = O.VerifyCertificate();
    LCertificate.CertHash = O.SChannel_Options().CertHash();
    LCertificate.CertStorePath = O.SChannel_Options().CertStorePath();
    LCertificate.CertStoreName = O.SChannel_Options().CertStoreName();
    LHandler->SetCipherList(O.SChannel_Options().CipherList());
    LHandler->SetALPNProtocols(O.ALPNProtocols());
    LCertificate.CertFile = O.CertFile();
    LCertificate.CertFilePassword = O.Password();
  } catch (...) {
    delete LHandler;
    throw;
  }
  return LHandler;
}

}  // namespace

TIdSSLIOHandlerSocketBase* CreateTLSHandler(TComponent* aOwner,
                                            const TqorSocketTLS_Options& aOptions,
                                            TqorTLSPasswordEvent aOnPassword) {
  switch (aOptions.IOHandler()) {
    case iohOpenSSL:
      return CreateOpenSSLHandler(aOwner, aOptions, std::move(aOnPassword));
    case iohSChannel:
      return CreateSChannelHandler(aOwner, aOptions);
  }
  throw EIdException("TLS is not supported by this build; no connection was made.");
}
