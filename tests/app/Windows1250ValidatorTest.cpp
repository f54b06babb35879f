#include "app/Windows1250Validator.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class Windows1250ValidatorTest : public QObject
{
    Q_OBJECT

private slots:
    void validates_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("accepted");
        QTest::addRow("empty") << QString() << true;
        QTest::addRow("ASCII") << u"Firma s.r.o. 42"_s << true;
        QTest::addRow("Czech") << u"Příliš žluťoučký kůň úpěl ďábelské ódy"_s << true;
        QTest::addRow("euro and German") << u"€ ß Ä"_s << true;
        QTest::addRow("double-struck Z") << u"aℤb"_s << false;
        QTest::addRow("emoji") << u"a😀"_s << false;
        QTest::addRow("n with tilde") << u"ñ"_s << false;
        QTest::addRow("tab") << u"a\tb"_s << false;
        QTest::addRow("C1 control") << u"a\u0081"_s << false;
        QTest::addRow("lone surrogate") << (u"a"_s + QChar(0xD800)) << false;
    }

    void validates()
    {
        QFETCH(QString, input);
        QFETCH(bool, accepted);
        Windows1250Validator validator;
        int pos = 0;
        QCOMPARE(validator.validate(input, pos), accepted ? QValidator::Acceptable : QValidator::Invalid);
    }

    // What cannot be stored is refused while typing; the rest of the input gets through.
    void editRefusesTypedCharacters()
    {
        QLineEdit edit;
        edit.setValidator(new Windows1250Validator(&edit));
        // One key press per character; the emoji is a single key press of two UTF-16 units.
        for (const QString &text : {u"č"_s, u"ℤ"_s, u"a"_s, u"😀"_s, u"b"_s}) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, text);
            QApplication::sendEvent(&edit, &press);
        }
        QCOMPARE(edit.text(), u"čab"_s);
    }
};

QTEST_MAIN(Windows1250ValidatorTest)
#include "Windows1250ValidatorTest.moc"
