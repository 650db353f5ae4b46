// Component base, hook chains, handler assignment and the handler class registry.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "transport/IdCustomTransparentProxy.h"
#include "transport/IdException.h"
#include "transport/IdIOHandlerStack.h"
#include "transport/IdIntercept.h"
#include "transport/IdTCPClient.h"

namespace {

template <class T>
std::unique_ptr<T> Make() {
  return std::unique_ptr<T>(New<T>(nullptr));
}

class TTestProxy : public TIdCustomTransparentProxy {
 public:
  const char* ClassName() const override { return "TTestProxy"; }
  TIdCustomTransparentProxy* CreateOfSameClass(TComponent* AOwner) const override {
    return New<TTestProxy>(AOwner);
  }
  bool Enabled() const override { return FEnabledFlag; }
  bool FEnabledFlag = true;
  std::vector<std::string>* Log = nullptr;

 protected:
  using TIdCustomTransparentProxy::TIdCustomTransparentProxy;
  void OpenTunnel(TIdIOHandler*, const std::string& AHost, TIdPort APort, TIdIPVersion) override {
    Log->push_back(FHost + "->" + AHost + ":" + std::to_string(APort));
  }
};

TEST(Component, StatusTextsAndNestedWork) {
  auto LComp = Make<TIdTCPClient>();
  std::vector<std::string> LTexts;
  LComp->SetOnStatus([&](TComponent*, TIdStatus, const std::string& T) { LTexts.push_back(T); });
  LComp->RaiseStatus(hsConnecting, {"example", "surplus"});
  LComp->RaiseStatus(hsResolving);
  LComp->RaiseStatus(hsStatusText, {"free text"});
  EXPECT_EQ(LTexts, (std::vector<std::string>{"Connecting to example.", "Resolving hostname .",
                                              "free text"}));
  int LBegins = 0, LEnds = 0;
  int64_t LLast = 0;
  LComp->SetOnWorkBegin([&](TComponent*, TWorkMode, int64_t) { ++LBegins; });
  LComp->SetOnWorkEnd([&](TComponent*, TWorkMode) { ++LEnds; });
  LComp->SetOnWork([&](TComponent*, TWorkMode, int64_t N) { LLast = N; });
  LComp->BeginWork(wmRead, 10);
  LComp->BeginWork(wmRead, 99);
  LComp->DoWork(wmRead, 3);
  LComp->DoWork(wmRead, 4);
  LComp->EndWork(wmRead);
  EXPECT_EQ(LEnds, 0);
  LComp->EndWork(wmRead);
  EXPECT_EQ(LBegins, 1);
  EXPECT_EQ(LEnds, 1);
  EXPECT_EQ(LLast, 7);
}

TEST(Component, SilentExceptionFamily) {
  try {
    throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
  } catch (const EIdSilentException& E) {
    EXPECT_STREQ(E.ClassName(), "EIdConnClosedGracefully");
    EXPECT_NE(dynamic_cast<const EIdException*>(&E), nullptr);
  }
}

TEST(Intercept, ChainOrderCircularLinkAndDestroyedLink) {
  std::vector<std::string> LLog;
  auto LOuter = Make<TIdConnectionIntercept>();
  auto LInner = Make<TIdConnectionIntercept>();
  auto Hook = [&](TIdConnectionIntercept* I, const char* AName) {
    I->SetOnConnect(
        [&, AName](TIdConnectionIntercept*) { LLog.push_back(std::string("c") + AName); });
    I->SetOnDisconnect(
        [&, AName](TIdConnectionIntercept*) { LLog.push_back(std::string("d") + AName); });
    I->SetOnSend([&, AName](TIdConnectionIntercept*, TIdBytes& B) {
      LLog.push_back(std::string("s") + AName);
      B.push_back(static_cast<uint8_t>(AName[0]));
    });
    I->SetOnReceive([&, AName](TIdConnectionIntercept*, TIdBytes&) {
      LLog.push_back(std::string("r") + AName);
    });
  };
  Hook(LOuter.get(), "O");
  Hook(LInner.get(), "I");
  LOuter->SetIntercept(LInner.get());
  EXPECT_THROW(LInner->SetIntercept(LOuter.get()), EIdInterceptCircularLink);
  EXPECT_EQ(LInner->Intercept(), nullptr);
  TIdBytes LBytes;
  LOuter->Connect(nullptr);
  LOuter->Send(LBytes);
  LOuter->Receive(LBytes);
  LOuter->Disconnect();
  EXPECT_EQ(LLog, (std::vector<std::string>{"cO", "cI", "sO", "sI", "rI", "rO", "dI", "dO"}));
  EXPECT_EQ(LBytes, (TIdBytes{'O', 'I'}));
  LInner.reset();
  EXPECT_EQ(LOuter->Intercept(), nullptr);
}

TEST(Proxy, ChainedConnectCircularLinkAndDestroyedLink) {
  std::vector<std::string> LLog;
  auto LFirst = Make<TTestProxy>();
  auto LSecond = Make<TTestProxy>();
  LFirst->SetHost("p1");
  LSecond->SetHost("p2");
  LSecond->SetPort(1080);
  LFirst->Log = LSecond->Log = &LLog;
  LFirst->SetChainedProxy(LSecond.get());
  EXPECT_THROW(LSecond->SetChainedProxy(LFirst.get()), EIdTransparentProxyCircularLink);
  LFirst->Connect(nullptr, "target", 25);
  EXPECT_EQ(LLog, (std::vector<std::string>{"p1->p2:1080", "p2->target:25"}));
  LLog.clear();
  LSecond->FEnabledFlag = false;
  LFirst->Connect(nullptr, "target", 25);
  EXPECT_EQ(LLog, (std::vector<std::string>{"p1->target:25"}));
  EXPECT_THROW(LFirst->Bind(nullptr, 1), EIdTransparentProxyCantBind);
  LSecond.reset();
  EXPECT_EQ(LFirst->ChainedProxy(), nullptr);
}

TEST(Proxy, UnownedValueIsCopiedIntoAnOwnedProxy) {
  auto LHandler = std::unique_ptr<TIdIOHandlerSocket>(
      static_cast<TIdIOHandlerSocket*>(TIdIOHandler::MakeDefaultIOHandler()));
  auto LTemplate = Make<TTestProxy>();
  LTemplate->SetHost("proxyhost");
  LTemplate->SetPort(3128);
  LHandler->SetTransparentProxy(LTemplate.get());
  ASSERT_NE(LHandler->TransparentProxy(), nullptr);
  EXPECT_NE(LHandler->TransparentProxy(), LTemplate.get());
  EXPECT_EQ(LHandler->TransparentProxy()->Host(), "proxyhost");
  EXPECT_EQ(LHandler->TransparentProxy()->Port(), 3128);
  LHandler->SetTransparentProxy(nullptr);
  EXPECT_EQ(LHandler->TransparentProxy(), nullptr);
}

TEST(Handler, DestinationSplitsAtLastColon) {
  auto LHandler = std::unique_ptr<TIdIOHandlerSocket>(
      static_cast<TIdIOHandlerSocket*>(TIdIOHandler::MakeDefaultIOHandler()));
  LHandler->SetDefaultPort(80);
  LHandler->SetDestination("host.example: 8080 ");
  EXPECT_EQ(LHandler->Host(), "host.example");
  EXPECT_EQ(LHandler->Port(), 8080);
  EXPECT_EQ(LHandler->Destination(), "host.example:8080");
  LHandler->SetDestination("other:notaport");
  EXPECT_EQ(LHandler->Port(), 80);
  EXPECT_EQ(LHandler->Destination(), "other");
  LHandler->SetDestination("nocolon");
  EXPECT_EQ(LHandler->Host(), "other");
}

TEST(Connection, HandlerAssignmentAndRegistry) {
  auto LClient = Make<TIdTCPClient>();
  auto LIntercept = Make<TIdConnectionIntercept>();
  auto LOther = Make<TIdConnectionIntercept>();
  LClient->SetHost("h");
  LClient->SetPort(7);
  LClient->SetReadTimeout(123);
  LClient->SetIntercept(LIntercept.get());
  LClient->CreateIOHandler();
  ASSERT_NE(LClient->IOHandler(), nullptr);
  EXPECT_TRUE(LClient->ManagedIOHandler());
  EXPECT_STREQ(LClient->IOHandler()->ClassName(), "TIdIOHandlerStack");
  EXPECT_EQ(LClient->Socket(), LClient->IOHandler());
  EXPECT_EQ(LClient->IOHandler()->Intercept(), LIntercept.get());
  EXPECT_EQ(LClient->IOHandler()->Host(), "h");
  EXPECT_EQ(LClient->IOHandler()->ReadTimeout(), 123);
  EXPECT_EQ(LClient->IOHandler()->WorkTarget(), LClient.get());

  // A borrowed handler with a different intercept is refused.
  auto LForeign = std::unique_ptr<TIdIOHandler>(TIdIOHandler::MakeDefaultIOHandler());
  LForeign->SetIntercept(LOther.get());
  try {
    LClient->SetIOHandler(LForeign.get());
    FAIL();
  } catch (const EIdException& E) {
    EXPECT_EQ(E.Message(), "The IOHandler already has a different Intercept assigned");
  }
  LForeign->SetIntercept(nullptr);
  LClient->SetIOHandler(LForeign.get());  // frees the managed one
  EXPECT_FALSE(LClient->ManagedIOHandler());
  LForeign.reset();  // destroyed elsewhere: the reference is dropped
  EXPECT_EQ(LClient->IOHandler(), nullptr);
  EXPECT_EQ(LClient->Socket(), nullptr);
  LIntercept.reset();
  EXPECT_EQ(LClient->Intercept(), nullptr);

  try {
    LClient->CreateIOHandler(&TIdIOHandler::IdClass);
  } catch (...) {
    FAIL() << "the stack handler descends from TIdIOHandler";
  }
  static const TIdIOHandlerClass LUnknown = {"TUnknownHandler", &TIdIOHandler::IdClass, nullptr};
  try {
    TIdIOHandler::MakeIOHandler(&LUnknown);
    FAIL();
  } catch (const EIdException& E) {
    EXPECT_EQ(E.Message(), "No IOHandler of type TUnknownHandler is installed.");
  }
  EXPECT_EQ(TIdIOHandler::TryMakeIOHandler(&LUnknown), nullptr);
}

TEST(Connection, GracefulDisconnectCheckWithoutHandler) {
  auto LClient = Make<TIdTCPClient>();
  EXPECT_FALSE(LClient->Connected());
  EXPECT_NO_THROW(LClient->CheckForGracefulDisconnect(false));
  try {
    LClient->CheckForGracefulDisconnect(true);
    FAIL();
  } catch (const EIdException& E) {
    EXPECT_EQ(E.Message(), "Not Connected");
  }
}

}  // namespace
