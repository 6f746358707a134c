// zuntar-screen-grab FILE.png [X Y WIDTH HEIGHT [ZOOM]]: saves the screen of
// $DISPLAY, or a rectangle of it enlarged ZOOM times (a tray icon is small).
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: zuntar-screen-grab FILE.png [X Y WIDTH HEIGHT [ZOOM]]\n");
    return 2;
  }
  char platform_switch[] = "-platform";
  char platform[] = "xcb";
  char* qt_argv[] = {argv[0], platform_switch, platform, nullptr};
  int qt_argc = 3;
  QGuiApplication app(qt_argc, qt_argv);
  QPixmap image = argc == 2 ? QGuiApplication::primaryScreen()->grabWindow(0)
                            : QGuiApplication::primaryScreen()->grabWindow(0, std::atoi(argv[2]), std::atoi(argv[3]),
                                                                           std::atoi(argv[4]), std::atoi(argv[5]));
  if (argc == 7) {
    const int zoom = std::atoi(argv[6]);
    image = image.scaled(image.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation);
  }
  return image.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
