// The baseline of the start and memory benchmarks: what any Qt Widgets program costs, a
// QApplication with one empty window. ShownProbe ends it once the window is shown. With --text the
// window holds one line of text, so the fonts are loaded before it shows: a reference for what
// showing any text costs, not the baseline of a target.
#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    const bool withText = argc > 1 && std::strcmp(argv[1], "--text") == 0;
    QWidget window;
    if (withText) {
        auto *label = new QLabel(QStringLiteral("Vyčítání karet řidičů"), &window);
        label->adjustSize();
    }
    window.show();
    return application.exec();
}
