#include "widgets/error_route.h"

#include <utility>

#include <QApplication>
#include <QMessageBox>

#include "engine/dataset.h"

namespace vellum::widgets {

namespace {

ErrorRoute& Route() {
  static ErrorRoute route;
  return route;
}

QString TextOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return QString::fromStdString(e.what());
  } catch (...) {
    return QObject::tr("Unexpected failure");
  }
}

}  // namespace

ErrorRoute SetErrorRoute(ErrorRoute route) { return std::exchange(Route(), std::move(route)); }

void RouteError(QObject* sender, const std::exception_ptr& error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const engine::Abort&) {
    return;
  } catch (...) {
  }
  const ErrorRoute route = Route();
  if (route) {
    route(sender, error);
    return;
  }
  QMessageBox::critical(QApplication::activeWindow(), QObject::tr("Error"), TextOf(error));
}

}  // namespace vellum::widgets
