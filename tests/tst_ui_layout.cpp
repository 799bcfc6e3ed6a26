// The main window as laid out: every control's kind, place, text, tab place and look, checked
// against the layout table below (positions in twips, 15 to the pixel), and the mouse/keyboard
// behaviour of the special controls.
#include "core/paths.h"
#include "core/syscolors.h"
#include "core/wait.h"
#include "support/scripted_dialogs.h"
#include "ui/controls.h"
#include "ui/fonts.h"
#include "ui/form1.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace brivane;
using brivane::test::ScriptedDialogs;

namespace {

enum class Kind { Button, Label, TextBox, Combo, Shape, Line, Picture, PictureBox, Slider };

struct Row {
    const char* name;
    Kind kind;
    const char16_t* text;         // caption, text or initial combo text
    int left, top, width, height; // twips; a line's from (left, top) and to (width, height)
    int tab;                      // -1: no place in the tab order
};

// The window's inventory.
const Row kLayout[] = {
    {"Label2(6)", Kind::Label, u"フラット画像撮影", 720, 120, 1815, 255, 25},
    {"Shape2(1)", Kind::Shape, u"", 120, 360, 2895, 1695, -1},
    {"Image1", Kind::Picture, u"", 240, 405, 600, 690, -1},
    {"Command5(2)", Kind::Button, u"計測", 930, 600, 1260, 495, 22},
    {"Command5(1)", Kind::Button, u"中断", 2280, 600, 615, 495, 30},
    {"Line3", Kind::Line, u"", 2880, 1200, 240, 1200, -1},
    {"Image3", Kind::Picture, u"", 240, 1320, 600, 600, -1},
    {"Label2(5)", Kind::Label, u"ガンマ中央値", 1005, 1320, 1695, 255, 24},
    {"Label5", Kind::Label, u"00000", 1185, 1680, 1335, 285, 23},
    {"Shape2(2)", Kind::Shape, u"", 120, 2280, 2895, 735, -1},
    {"Command5(0)", Kind::Button, u"フラット画像撮影", 360, 2400, 1815, 495, 27},
    {"Picture1", Kind::PictureBox, u"", 2280, 2330, 630, 630, 33},
    {"Label2(8)", Kind::Label, u"撮影設定値", 3360, 120, 1815, 255, 31},
    {"Label2(1)", Kind::Label, u"露光時間", 3480, 600, 975, 255, 16},
    {"Text1(0)", Kind::TextBox, u"1", 4320, 480, 1095, 375, 15},
    {"Label2(11)", Kind::Label, u"秒", 5520, 600, 975, 255, 35},
    {"Label2(2)", Kind::Label, u"ビニング", 3480, 1065, 975, 255, 17},
    {"Combo3", Kind::Combo, u"１", 4320, 960, 1095, 300, 26},
    {"Label2(3)", Kind::Label, u"フィルター", 3480, 1545, 975, 255, 18},
    {"Combo2", Kind::Combo, u"Filter1", 4320, 1440, 1095, 300, 19},
    {"Label2(4)", Kind::Label, u"ガンマ中央値", 3240, 2025, 1215, 255, 21},
    {"Text1(2)", Kind::TextBox, u"30000", 4320, 1920, 1095, 375, 20},
    {"Label2(7)", Kind::Label, u"撮像枚数", 3480, 2640, 975, 255, 29},
    {"Text1(1)", Kind::TextBox, u"20", 4320, 2520, 1095, 375, 28},
    {"Image2(0)", Kind::Picture, u"", 6000, 50, 600, 570, -1},
    {"Label2(10)", Kind::Label, u"ＥＬパネルインバーター", 6720, 240, 1815, 255, 34},
    {"Image2(1)", Kind::Picture, u"", 8880, 120, 750, 810, -1},
    {"Shape2(0)", Kind::Shape, u"", 9720, 120, 975, 615, -1},
    {"Label1(0)", Kind::Label, u"00%", 9600, 240, 1215, 495, 6},
    {"Label2(9)", Kind::Label, u"パネル出力", 9720, 840, 975, 255, 32},
    {"Shape1(0)", Kind::Shape, u"", 6000, 705, 255, 390, -1},
    {"Command2(0)", Kind::Button, u"ON", 6240, 720, 855, 375, 0},
    {"Shape1(1)", Kind::Shape, u"", 7200, 705, 255, 390, -1},
    {"Command2(1)", Kind::Button, u"OFF", 7440, 720, 855, 375, 1},
    {"Line2", Kind::Line, u"", 6000, 1200, 10680, 1200, -1},
    {"Label2(0)", Kind::Label, u"デューティ（電圧）", 6240, 1320, 1935, 255, 7},
    {"Label3(1)", Kind::Label, u"0% - 86%", 9480, 1320, 1095, 255, 8},
    {"Command9(0)", Kind::Button, u"▲", 6000, 1560, 375, 255, 11},
    {"Command9(1)", Kind::Button, u"▼", 6000, 1920, 375, 255, 12},
    {"Slider1(0)", Kind::Slider, u"", 6480, 1560, 4215, 495, 2},
    {"Line1", Kind::Line, u"", 6000, 2280, 10680, 2280, -1},
    {"Image4", Kind::Picture, u"", 6000, 2400, 600, 600, -1},
    {"Label7", Kind::Label, u"通信ポート：", 6720, 2400, 975, 255, 9},
    {"Combo1", Kind::Combo, u"COM6", 6720, 2640, 1095, 300, 5},
    {"Command1", Kind::Button, u"1kHz", 9360, 2640, 615, 375, 13},
    {"Command4", Kind::Button, u"500Hz", 10080, 2640, 615, 375, 14},
    {"Command7", Kind::Button, u"常に手前に表示", 11280, 120, 1695, 255, 10},
    {"Command3(0)", Kind::Button, u"通信開始", 7200, 3360, 975, 375, 3},
    {"Command3(1)", Kind::Button, u"通信切断", 8280, 3360, 975, 375, 4},
};

int px(int twips) {
    return qRound(twips / 15.0);
}

// The control a layout name stands for, through the window's members.
QWidget* control(Form1& f, const QString& spec) {
    const QString name = spec.section(QLatin1Char('('), 0, 0);
    const int i = spec.contains(QLatin1Char('(')) ? spec.section(QLatin1Char('('), 1).chopped(1).toInt() : -1;
#define ONE(member)                                                                                          \
    if (name == QLatin1String(#member))                                                                      \
        return f.member;
#define ARRAY(member)                                                                                        \
    if (name == QLatin1String(#member))                                                                      \
        return f.member(i);
    ARRAY(Label1) ARRAY(Label2) ARRAY(Label3) ONE(Label5) ONE(Label7);
    ONE(Command1) ARRAY(Command2) ARRAY(Command3) ONE(Command4) ARRAY(Command5) ONE(Command7) ARRAY(Command9);
    ARRAY(Text1) ONE(Combo1) ONE(Combo2) ONE(Combo3) ARRAY(Slider1) ONE(Picture1);
    ARRAY(Shape1) ARRAY(Shape2) ONE(Line1) ONE(Line2) ONE(Line3);
    ONE(Image1) ARRAY(Image2) ONE(Image3) ONE(Image4);
#undef ONE
#undef ARRAY
    return nullptr;
}

bool hasKind(QWidget* w, Kind kind) {
    switch (kind) {
    case Kind::Button:
        return qobject_cast<QPushButton*>(w) != nullptr;
    case Kind::Label:
        return qobject_cast<QLabel*>(w) != nullptr && qobject_cast<ClickablePicture*>(w) == nullptr;
    case Kind::TextBox:
        return qobject_cast<QLineEdit*>(w) != nullptr;
    case Kind::Combo:
        return qobject_cast<QComboBox*>(w) != nullptr;
    case Kind::Shape:
        return qobject_cast<ShapeControl*>(w) != nullptr;
    case Kind::Line:
        return qobject_cast<LineControl*>(w) != nullptr;
    case Kind::Picture: {
        auto* label = qobject_cast<QLabel*>(w);
        return label != nullptr && !label->pixmap().isNull();
    }
    case Kind::PictureBox:
        return qobject_cast<ClickablePicture*>(w) != nullptr;
    case Kind::Slider:
        return qobject_cast<ReleaseSlider*>(w) != nullptr;
    }
    return false;
}

QString textOf(QWidget* w) {
    if (auto* b = qobject_cast<QPushButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* c = qobject_cast<QComboBox*>(w))
        return c->currentText();
    return QString();
}

QColor textColour(QWidget* w) {
    return w->palette().color(QPalette::WindowText);
}

} // namespace

class TestLayout : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    ScriptedDialogs m_dialogs;
    std::unique_ptr<Form1> m_form;

    // The control that holds the focus: an editable combo box's own field counts as the combo.
    static QWidget* owner(QWidget* w) {
        if (w != nullptr && qobject_cast<QComboBox*>(w->parentWidget()) != nullptr)
            return w->parentWidget();
        return w;
    }

private slots:
    void initTestCase() {
        setProgramFolderForTests(m_dir.path()); // no settings file, and none written beside the test
        setWaitScaleForTests(0.0);
    }

    void init() {
        resetProgramEndForTests();
        Form1Context context;
        context.dialogs = &m_dialogs;
        for (int n = PortMap::kFirstPort; n <= PortMap::kLastPort; ++n)
            context.ports.map(n, m_dir.filePath(QStringLiteral("no-such-tty")));
        m_form = std::make_unique<Form1>(std::move(context));
    }

    void cleanup() { m_form.reset(); }

    void controlMatchesTable_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kLayout)); ++i)
            QTest::newRow(kLayout[i].name) << i;
    }
    void controlMatchesTable() {
        QFETCH(int, row);
        const Row& r = kLayout[row];
        QWidget* w = control(*m_form, QString::fromLatin1(r.name));
        QVERIFY(w != nullptr);
        QCOMPARE(w->parentWidget(), m_form.get());
        QVERIFY2(hasKind(w, r.kind), w->metaObject()->className());
        if (r.kind == Kind::Line) {
            auto* line = static_cast<LineControl*>(w);
            QCOMPARE(line->from(), QPoint(px(r.left), px(r.top)));
            QCOMPARE(line->to(), QPoint(px(r.width), px(r.height)));
        } else {
            QCOMPARE(w->geometry(), QRect(px(r.left), px(r.top), px(r.width), px(r.height)));
        }
        QCOMPARE(textOf(w), QString::fromUtf16(r.text));
        if (r.kind == Kind::Label)
            QCOMPARE(w->focusPolicy(), Qt::NoFocus);
        else if (r.tab >= 0)
            QVERIFY(w->focusPolicy() & Qt::TabFocus);
        else
            QVERIFY(!(w->focusPolicy() & Qt::TabFocus));
        // Start-up hides connect and disconnect; every other control shows (if inside the window).
        const bool connectButton = QByteArray(r.name).startsWith("Command3");
        QCOMPARE(w->isVisibleTo(m_form.get()), !connectButton);
        QVERIFY(w->isEnabled());
        const QRect client(0, 0, 727, 213);
        const bool outside = connectButton || QByteArray(r.name) == "Command7";
        QCOMPARE(client.intersects(w->geometry()), !outside);
    }

    void comboLists_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("items");
        QStringList ports, filters;
        for (int n = 1; n <= 20; ++n)
            ports << QStringLiteral("COM%1").arg(n);
        for (int n = 1; n <= 8; ++n)
            filters << QStringLiteral("Filter%1").arg(n);
        QTest::newRow("Combo1") << "Combo1" << ports;
        QTest::newRow("Combo2") << "Combo2" << filters;
        QTest::newRow("Combo3") << "Combo3"
                                << QStringList{QStringLiteral(u"\uFF11"), QStringLiteral(u"\uFF12")};
    }
    void comboLists() {
        QFETCH(QString, name);
        QFETCH(QStringList, items);
        auto* combo = qobject_cast<QComboBox*>(control(*m_form, name));
        QVERIFY(combo->isEditable());
        QStringList actual;
        for (int i = 0; i < combo->count(); ++i)
            actual << combo->itemText(i);
        QCOMPARE(actual, items);
        // Typed text is kept as typed: no completion, never added to the list.
        combo->lineEdit()->clear();
        QTest::keyClicks(combo->lineEdit(), QStringLiteral("C"));
        QCOMPARE(combo->currentText(), QStringLiteral("C"));
        QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        QCOMPARE(combo->count(), items.size());
    }

    void window() {
        QCOMPARE(m_form->windowTitle(), QStringLiteral(u"Brivane\u3000MaxImDL"));
        QCOMPARE(m_form->size(), QSize(727, 213));
        QCOMPARE(m_form->minimumSize(), QSize(727, 213));
        QCOMPARE(m_form->maximumSize(), QSize(727, 213));
        const Qt::WindowFlags flags = m_form->windowFlags();
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        const QList<QSize> iconSizes = m_form->windowIcon().availableSizes();
        QVERIFY(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(32, 32)));
        QCOMPARE(m_form->Timer1.interval(), 0);
        QVERIFY(!m_form->Timer1.isActive());

        const QImage image = m_form->grab().toImage();
        for (const QPoint spot : {QPoint(2, 2), QPoint(210, 100), QPoint(720, 208), QPoint(395, 200)})
            QCOMPARE(image.pixelColor(spot), QColor(64, 64, 64));
        // Separators and group frames.
        QCOMPARE(image.pixelColor(100, 80), systemColour(kColorActiveBorder)); // Line3
        QCOMPARE(image.pixelColor(600, 80), QColor(128, 128, 128));            // Line2
        QCOMPARE(image.pixelColor(600, 152), QColor(128, 128, 128));           // Line1
        QCOMPARE(image.pixelColor(8, 60), QColor(128, 128, 128));              // Shape2(1) left edge
        QCOMPARE(image.pixelColor(700, 48), QColor(192, 0, 192));              // Shape2(0) right edge
        QCOMPARE(image.pixelColor(649, 30), QColor(64, 64, 64));               // inside Shape2(0)
        // Picture1: a one-pixel frame around a 40 x 40 picture on the window colour.
        QCOMPARE(m_form->Picture1->contentsRect().size(), QSize(40, 40));
        QCOMPARE(m_form->Picture1->pixmap().size(), QSize(40, 40));
        QCOMPARE(image.pixelColor(152, 175), systemColour(kColorWindowFrame));
        QCOMPARE(image.pixelColor(154, 157), systemColour(kColorWindow));
    }

    void centredOnScreen() {
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        const QPoint centre = m_form->frameGeometry().center();
        QVERIFY(qAbs(centre.x() - area.center().x()) <= 1);
        QVERIFY(qAbs(centre.y() - area.center().y()) <= 1);
    }

    void looks_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("centred");
        QTest::addColumn<double>("msPGothicSize"); // 0: the default dialog font
        QTest::addColumn<bool>("bold");
        const QColor highlight = systemColour(kColorHighlightText);
        const QColor inactive = systemColour(kColorInactiveBorder);
        for (int i : {6, 5, 8, 10, 0})
            QTest::addRow("Label2(%d)", i)
                << QStringLiteral("Label2(%1)").arg(i) << highlight << true << 0.0 << false;
        for (int i : {1, 11, 2, 3, 4, 7})
            QTest::addRow("Label2(%d)", i)
                << QStringLiteral("Label2(%1)").arg(i) << highlight << false << 0.0 << false;
        QTest::newRow("Label2(9)") << "Label2(9)" << highlight << false << 9.75 << false;
        QTest::newRow("Label5") << "Label5" << QColor(255, 255, 0) << true << 14.25 << true;
        QTest::newRow("Label1(0)") << "Label1(0)" << QColor(255, 255, 255) << true << 15.75 << true;
        QTest::newRow("Label3(1)") << "Label3(1)" << inactive << false << 12.0 << false;
        QTest::newRow("Label7") << "Label7" << inactive << false << 0.0 << false;
        for (int i : {0, 1, 2})
            QTest::addRow("Text1(%d)", i)
                << QStringLiteral("Text1(%1)").arg(i) << QColor() << true << 11.25 << false;
    }
    void looks() {
        QFETCH(QString, name);
        QFETCH(QColor, colour);
        QFETCH(bool, centred);
        QFETCH(double, msPGothicSize);
        QFETCH(bool, bold);
        QWidget* w = control(*m_form, name);
        Qt::Alignment alignment;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            QCOMPARE(textColour(w), colour);
            QVERIFY(!label->autoFillBackground());
            alignment = label->alignment();
        } else {
            alignment = static_cast<QLineEdit*>(w)->alignment();
        }
        QCOMPARE(bool(alignment & Qt::AlignHCenter), centred);
        if (msPGothicSize > 0) {
            QCOMPARE(w->font().family(), QStringLiteral(u"ＭＳ Ｐゴシック"));
            QCOMPARE(w->font().pointSizeF(), msPGothicSize);
        } else {
            QCOMPARE(w->font().family(), m_form->font().family());
        }
        QCOMPARE(w->font().bold(), bold);
#ifndef Q_OS_WIN
        // Resolves to an installed Japanese Gothic, so the texts are glyphs, never boxes.
        if (msPGothicSize > 0)
            QCOMPARE(QFontInfo(w->font()).family(), kMsPGothicStandIn);
        QVERIFY(QFontMetrics(w->font()).inFont(QChar(u'ゴ')));
#endif
    }

    void shapesAndLamps() {
        const QColor windowText = systemColour(kColorWindowText);
        for (int i : {0, 1}) {
            ShapeControl* lamp = m_form->Shape1(i);
            QVERIFY(lamp->isOpaque());
            QCOMPARE(lamp->backgroundColour(), QColor(224, 224, 224));
            QCOMPARE(lamp->borderColour(), windowText);
        }
        for (int i : {0, 1, 2})
            QVERIFY(!m_form->Shape2(i)->isOpaque());
        QVERIFY(!m_form->panelReportedOn());

        // What the reply interpreter writes, as it shows.
        LinkDisplay& display = *m_form;
        display.setOnLampColour(QColor(255, 128, 0));
        display.setOffLampColour(systemColour(kColorInactiveBorder));
        display.setReadoutColour(QColor(255, 255, 0));
        display.setReadoutText(QStringLiteral("86%"));
        QVERIFY(m_form->panelReportedOn());
        QCOMPARE(m_form->Label1(0)->text(), QStringLiteral("86%"));
        QCOMPARE(textColour(m_form->Label1(0)), QColor(255, 255, 0));
        QImage image = m_form->grab().toImage();
        QCOMPARE(image.pixelColor(400, 47), windowText);                         // Shape1(0) outline
        QCOMPARE(image.pixelColor(405, 60), QColor(255, 128, 0));                // Shape1(0) inside
        QCOMPARE(image.pixelColor(485, 60), systemColour(kColorInactiveBorder)); // Shape1(1) inside

        display.setOnLampColour(systemColour(kColorWindow));
        display.setOffLampColour(QColor(255, 128, 0));
        QVERIFY(!m_form->panelReportedOn());
        image = m_form->grab().toImage();
        QCOMPARE(image.pixelColor(405, 60), systemColour(kColorWindow));
        QCOMPARE(image.pixelColor(485, 60), QColor(255, 128, 0));
    }

    void slider() {
        QSlider* s = m_form->Slider1(0);
        QCOMPARE(s->orientation(), Qt::Horizontal);
        QCOMPARE(s->minimum(), 0);
        QCOMPARE(s->maximum(), 43);
        QCOMPARE(s->value(), 30);
        QCOMPARE(s->singleStep(), 1);
        QCOMPARE(s->pageStep(), 5);
        QCOMPARE(s->tickPosition(), QSlider::TicksBelow);
        QCOMPARE(s->tickInterval(), 1);
    }

    void tabOrder() {
        std::vector<const Row*> focusable;
        for (const Row& r : kLayout)
            if (r.tab >= 0 && r.kind != Kind::Label)
                focusable.push_back(&r);
        std::sort(focusable.begin(), focusable.end(),
                  [](const Row* a, const Row* b) { return a->tab < b->tab; });
        QList<QWidget*> expected;
        for (const Row* r : focusable)
            expected << control(*m_form, QString::fromLatin1(r->name));

        QList<QWidget*> chain;
        QWidget* start = m_form->Command2(0);
        QWidget* w = start;
        do {
            QWidget* o = owner(w);
            if ((w->focusPolicy() & Qt::TabFocus) && expected.contains(o) &&
                (chain.isEmpty() || chain.last() != o))
                chain << o;
            w = w->nextInFocusChain();
        } while (w != start);
        QCOMPARE(chain, expected);
    }

    void command7ByKeyboard() {
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        m_form->Combo1->setFocus();
        QTRY_COMPARE(owner(QApplication::focusWidget()), m_form->Combo1);
        // Labels (6..9) take no focus; the next stop is the button outside the client area.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), m_form->Command7);
        QSignalSpy clicked(m_form->Command7, &QPushButton::clicked);
        QTest::keyClick(m_form->Command7, Qt::Key_Space);
        QCOMPARE(clicked.size(), 1);
        QCOMPARE(m_form->TopMost_Flag, 1);
        QTest::keyClick(m_form->Command7, Qt::Key_Return);
        QCOMPARE(m_form->TopMost_Flag, 0);
        QCOMPARE(clicked.size(), 2);
        // Shift+Tab goes back over the hidden connect buttons and the labels.
        QTest::keyClick(m_form->Command7, Qt::Key_Backtab);
        QCOMPARE(owner(QApplication::focusWidget()), m_form->Combo1);
    }

    void onOffActOnMouseDownOnly_data() {
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::newRow("left") << Qt::LeftButton << Qt::KeyboardModifiers();
        QTest::newRow("right") << Qt::RightButton << Qt::KeyboardModifiers();
        QTest::newRow("middle+shift") << Qt::MiddleButton << Qt::KeyboardModifiers(Qt::ShiftModifier);
    }
    void onOffActOnMouseDownOnly() {
        QFETCH(Qt::MouseButton, button);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        for (int i : {0, 1}) {
            PressButton* b = m_form->Command2(i);
            QSignalSpy down(b, &PressButton::mouseDown);
            QTest::mousePress(b, button, modifiers, b->rect().center());
            QCOMPARE(down.size(), 1); // at the press, before any release
            QCOMPARE(down.at(0).at(0).value<Qt::MouseButton>(), button);
            QCOMPARE(down.at(0).at(1).value<Qt::KeyboardModifiers>(), modifiers);
            QTest::mouseRelease(b, button, modifiers, b->rect().center());
            QCOMPARE(down.size(), 1);
            // The keyboard reaches the button but does not act.
            b->setFocus();
            QTest::keyClick(b, Qt::Key_Space);
            QTest::keyClick(b, Qt::Key_Return);
            QCOMPARE(down.size(), 1);
        }
        QVERIFY(m_form->Command2(0)->focusPolicy() & Qt::TabFocus);
    }

    void sliderReportsMouseReleaseOnly() {
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        ReleaseSlider* s = m_form->Slider1(0);
        QSignalSpy up(s, &ReleaseSlider::mouseUp);
        s->setFocus();
        QTest::keyClick(s, Qt::Key_Right);
        QTest::keyClick(s, Qt::Key_PageDown);
        QTest::keyClick(s, Qt::Key_Home);
        QCOMPARE(s->value(), 0);
        QCOMPARE(up.size(), 0);

        // A press and a drag report nothing; the release does, with the final value in place.
        const QPoint near(s->width() / 2, s->height() / 2);
        int valueAtRelease = -1;
        connect(s, &ReleaseSlider::mouseUp, this, [&] { valueAtRelease = s->value(); });
        QTest::mousePress(s, Qt::LeftButton, {}, near);
        QTest::mouseMove(s, near + QPoint(10, 0));
        QCOMPARE(up.size(), 0);
        QTest::mouseRelease(s, Qt::LeftButton, {}, near + QPoint(10, 0));
        QCOMPARE(up.size(), 1);
        QCOMPARE(up.at(0).at(0).value<Qt::MouseButton>(), Qt::LeftButton);
        QCOMPARE(valueAtRelease, s->value());

        QTest::mousePress(s, Qt::RightButton, Qt::ControlModifier, near);
        QTest::mouseRelease(s, Qt::RightButton, Qt::ControlModifier, near);
        QCOMPARE(up.size(), 2);
        QCOMPARE(up.at(1).at(0).value<Qt::MouseButton>(), Qt::RightButton);
        QCOMPARE(up.at(1).at(1).value<Qt::KeyboardModifiers>(), Qt::KeyboardModifiers(Qt::ControlModifier));
    }

    void folderPictureClicks() {
        ClickablePicture* p = m_form->Picture1;
        QSignalSpy clicked(p, &ClickablePicture::clicked);
        QTest::mouseClick(p, Qt::RightButton);
        QCOMPARE(clicked.size(), 0);
        QTest::mouseClick(p, Qt::LeftButton);
        QCOMPARE(clicked.size(), 1);
        p->setEnabled(false);
        QTest::mouseClick(p, Qt::LeftButton);
        QCOMPARE(clicked.size(), 1);
    }

    void portChoiceRaisedByListOnly() {
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QComboBox* combo = m_form->Combo1;
        QSignalSpy activated(combo, &QComboBox::activated);
        combo->setFocus();
        combo->lineEdit()->selectAll();
        QTest::keyClicks(combo->lineEdit(), QStringLiteral("COM3"));
        QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        combo->setEditText(QStringLiteral("COM4"));
        QCOMPARE(activated.size(), 0);
        QTest::keyClick(combo, Qt::Key_Down);
        QCOMPARE(activated.size(), 1);
        QCOMPARE(combo->currentText(), QStringLiteral("COM7"));
    }
};

QTEST_MAIN(TestLayout)
#include "tst_ui_layout.moc"
