// corvandel: the window that announces web sites to blog ping services.

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "app/main_window.h"
#include "app/window_texts.h"
#include "engine/ping_service.h"
#include "http/proxy_config.h"
#include "http/secure_layer.h"

int main(int argc, char* argv[]) {
  using namespace corvandel::app;
  int status = 0;
  // Proxies come from the environment, as for curl.
  auto callSettings = std::make_shared<corvandel::engine::TCallSettings>();
  corvandel::http::TProxyConfig proxies;
  std::string proxyError;
  if (corvandel::http::TProxyConfig::FromEnvironment(proxies, proxyError))
    callSettings->Proxies = std::make_shared<const corvandel::http::TProxyConfig>(std::move(proxies));
  else
    std::fprintf(stderr, "corvandel: no proxy is used: %s\n", proxyError.c_str());
  // The window's runs resume the TLS sessions of earlier calls to a service
  // while they last.
  callSettings->Sessions = corvandel::http::NewSessionStore();
  {
    QApplication application(argc, argv);
    const QString title = QString::fromUtf8(kAppTitle.data(), static_cast<qsizetype>(kAppTitle.size()));
    QApplication::setApplicationName(title);
    QApplication::setApplicationDisplayName(title);
    QApplication::setDesktopFileName(QStringLiteral("corvandel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/corvandel.png")));
    TfrmMain form(nullptr, std::move(callSettings));
    form.show();
    status = QApplication::exec();
  }
  // Workers still inside network calls when the window closed hold on to
  // nothing the exit would free, but static destructors would run under
  // them; ending the process here ends their calls with it.
  if (WorkersLeftBehind()) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
