// Kestrin: the signature carver, started by the recovery programs from their Tools menu.
#include <QApplication>

#include "apps/carver/kestrin.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Ovelin Labs Inc."));
  return ov::kestrin::runKestrin(QApplication::arguments());
}
