// The main window against its layout table (twips, 15 to the pixel), its look at a few decisive
// points, the tab order, and the keyboard behaviour of Command7 and the combo boxes.
#include "support/scripted_dialogs.h"
#include "support/wait_control.h"
#include "ui/controls.h"
#include "ui/fonts.h"
#include "ui/form1.h"
#include "ui/syscolors.h"
#include "ui/topmost.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace brivane;

namespace {

// Kinds by class; a static picture is a label showing a pixmap.
constexpr const char *kButton = "QPushButton", *kLabel = "QLabel", *kText = "QLineEdit",
                     *kCombo = "QComboBox", *kShape = "brivane::ShapeControl",
                     *kLine = "brivane::LineControl", *kPicture = "picture",
                     *kPictureBox = "brivane::ClickablePicture", *kSlider = "brivane::ReleaseSlider";

// name, kind, caption/text, left, top, width, height (a line: from x, y to x, y), tab (-1: none)
const struct Row {
    const char *name, *kind;
    const char16_t* text;
    int left, top, width, height, tab;
} kLayout[] = {
    {"Label2(6)", kLabel, u"フラット画像撮影", 720, 120, 1815, 255, 25},
    {"Shape2(1)", kShape, u"", 120, 360, 2895, 1695, -1},
    {"Image1", kPicture, u"", 240, 405, 600, 690, -1},
    {"Command5(2)", kButton, u"計測", 930, 600, 1260, 495, 22},
    {"Command5(1)", kButton, u"中断", 2280, 600, 615, 495, 30},
    {"Line3", kLine, u"", 2880, 1200, 240, 1200, -1},
    {"Image3", kPicture, u"", 240, 1320, 600, 600, -1},
    {"Label2(5)", kLabel, u"ガンマ中央値", 1005, 1320, 1695, 255, 24},
    {"Label5", kLabel, u"00000", 1185, 1680, 1335, 285, 23},
    {"Shape2(2)", kShape, u"", 120, 2280, 2895, 735, -1},
    {"Command5(0)", kButton, u"フラット画像撮影", 360, 2400, 1815, 495, 27},
    {"Picture1", kPictureBox, u"", 2280, 2330, 630, 630, 33},
    {"Label2(8)", kLabel, u"撮影設定値", 3360, 120, 1815, 255, 31},
    {"Label2(1)", kLabel, u"露光時間", 3480, 600, 975, 255, 16},
    {"Text1(0)", kText, u"1", 4320, 480, 1095, 375, 15},
    {"Label2(11)", kLabel, u"秒", 5520, 600, 975, 255, 35},
    {"Label2(2)", kLabel, u"ビニング", 3480, 1065, 975, 255, 17},
    {"Combo3", kCombo, u"１", 4320, 960, 1095, 300, 26},
    {"Label2(3)", kLabel, u"フィルター", 3480, 1545, 975, 255, 18},
    {"Combo2", kCombo, u"Filter1", 4320, 1440, 1095, 300, 19},
    {"Label2(4)", kLabel, u"ガンマ中央値", 3240, 2025, 1215, 255, 21},
    {"Text1(2)", kText, u"30000", 4320, 1920, 1095, 375, 20},
    {"Label2(7)", kLabel, u"撮像枚数", 3480, 2640, 975, 255, 29},
    {"Text1(1)", kText, u"20", 4320, 2520, 1095, 375, 28},
    {"Image2(0)", kPicture, u"", 6000, 50, 600, 570, -1},
    {"Label2(10)", kLabel, u"ＥＬパネルインバーター", 6720, 240, 1815, 255, 34},
    {"Image2(1)", kPicture, u"", 8880, 120, 750, 810, -1},
    {"Shape2(0)", kShape, u"", 9720, 120, 975, 615, -1},
    {"Label1(0)", kLabel, u"00%", 9600, 240, 1215, 495, 6},
    {"Label2(9)", kLabel, u"パネル出力", 9720, 840, 975, 255, 32},
    {"Shape1(0)", kShape, u"", 6000, 705, 255, 390, -1},
    {"Command2(0)", kButton, u"ON", 6240, 720, 855, 375, 0},
    {"Shape1(1)", kShape, u"", 7200, 705, 255, 390, -1},
    {"Command2(1)", kButton, u"OFF", 7440, 720, 855, 375, 1},
    {"Line2", kLine, u"", 6000, 1200, 10680, 1200, -1},
    {"Label2(0)", kLabel, u"デューティ（電圧）", 6240, 1320, 1935, 255, 7},
    {"Label3(1)", kLabel, u"0% - 86%", 9480, 1320, 1095, 255, 8},
    {"Command9(0)", kButton, u"▲", 6000, 1560, 375, 255, 11},
    {"Command9(1)", kButton, u"▼", 6000, 1920, 375, 255, 12},
    {"Slider1(0)", kSlider, u"", 6480, 1560, 4215, 495, 2},
    {"Line1", kLine, u"", 6000, 2280, 10680, 2280, -1},
    {"Image4", kPicture, u"", 6000, 2400, 600, 600, -1},
    {"Label7", kLabel, u"通信ポート：", 6720, 2400, 975, 255, 9},
    {"Combo1", kCombo, u"COM6", 6720, 2640, 1095, 300, 5},
    {"Command1", kButton, u"1kHz", 9360, 2640, 615, 375, 13},
    {"Command4", kButton, u"500Hz", 10080, 2640, 615, 375, 14},
    {"Command7", kButton, u"常に手前に表示", 11280, 120, 1695, 255, 10},
    {"Command3(0)", kButton, u"通信開始", 7200, 3360, 975, 375, 3},
    {"Command3(1)", kButton, u"通信切断", 8280, 3360, 975, 375, 4},
};

} // namespace

class TestLayout : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    test::ScriptedDialogs m_dialogs;
    std::unique_ptr<Form1> m_form;

    QWidget* control(const char* name) const { return m_form->findChild<QWidget*>(QLatin1String(name)); }
    // The control that holds the focus: an editable combo box's own field counts as the combo.
    static QWidget* owner(QWidget* w) {
        return w && qobject_cast<QComboBox*>(w->parentWidget()) ? w->parentWidget() : w;
    }

private slots:
    void init() {
        test::setWaitScale(0.0);
        test::resetProgramEnd();
        // no settings file, and none written beside the test
        Form1Context context{&m_dialogs, {}, {}, m_dir.path()};
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
        const auto px = [](int twips) { return qRound(twips / 15.0); };
        QWidget* w = control(r.name);
        QVERIFY(w != nullptr && w->parentWidget() == m_form.get());
        if (r.kind == kPicture)
            QVERIFY(!qobject_cast<QLabel*>(w)->pixmap().isNull());
        else
            QVERIFY2(w->inherits(r.kind), w->metaObject()->className());
        if (const auto* line = dynamic_cast<LineControl*>(w))
            QCOMPARE(QLine(line->from(), line->to()),
                     QLine(px(r.left), px(r.top), px(r.width), px(r.height)));
        else
            QCOMPARE(w->geometry(), QRect(px(r.left), px(r.top), px(r.width), px(r.height)));
        QCOMPARE(w->property(r.kind == kCombo ? "currentText" : "text").toString(),
                 QString::fromUtf16(r.text));
        // Whatever font stands in for the window's Gothic, a caption shows whole, in glyphs.
        if ((r.kind == kLabel || r.kind == kButton) && r.text[0]) {
            const QString caption = QString::fromUtf16(r.text);
            const QFontMetrics metrics(w->font());
            QVERIFY2(metrics.horizontalAdvance(caption) <= w->contentsRect().width(),
                     qPrintable(QFontInfo(w->font()).family()));
            for (const QChar c : caption)
                QVERIFY2(c.isSpace() || metrics.inFont(c), qPrintable(QFontInfo(w->font()).family()));
        }
        // Labels hold a tab place but never take the focus.
        QCOMPARE(bool(w->focusPolicy() & Qt::TabFocus), r.tab >= 0 && r.kind != kLabel);
        // Start-up hides connect and disconnect; they and Command7 lie outside the client area.
        const bool hidden = QByteArray(r.name).startsWith("Command3");
        QVERIFY(w->isEnabled() && w->isVisibleTo(m_form.get()) != hidden);
        QCOMPARE(m_form->rect().intersects(w->geometry()), !hidden && QByteArray(r.name) != "Command7");
    }

    // The window; colours at a few decisive points, the lamps as the reply interpreter sets them; fonts,
    // and where the Gothic is missing the UI fonts in their order, then any Japanese one, never a
    // vertical-writing face.
    void window() {
        QCOMPARE(m_form->windowTitle(), QStringLiteral(u"Brivane\u3000MaxImDL"));
        QVERIFY(m_form->minimumSize() == QSize(727, 213) && m_form->maximumSize() == QSize(727, 213));
        const Qt::WindowFlags flags = m_form->windowFlags();
        QVERIFY((flags & Qt::WindowCloseButtonHint) && !(flags & Qt::WindowMinMaxButtonsHint));
        const QList<QSize> iconSizes = m_form->windowIcon().availableSizes();
        QVERIFY(iconSizes.contains(QSize(16, 16)) && iconSizes.contains(QSize(32, 32)));
        const QPoint offCentre =
            m_form->frameGeometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY(offCentre.manhattanLength() <= 2);
        QSlider* s = m_form->Slider1(0);
        QVERIFY(s->orientation() == Qt::Horizontal && s->tickPosition() == QSlider::TicksBelow);
        QCOMPARE((QList<int>{s->minimum(), s->maximum(), s->value(), s->tickInterval()}),
                 (QList<int>{0, 43, 30, 1}));

        const auto at = [this](int x, int y) { return m_form->grab().toImage().pixelColor(x, y); };
        QCOMPARE(at(2, 2), QColor(64, 64, 64));
        QCOMPARE(at(100, 80), systemColour(kColorActiveBorder)); // Line3
        QCOMPARE(at(8, 60), QColor(128, 128, 128));              // Shape2(1) left edge
        QCOMPARE(at(700, 48), QColor(192, 0, 192));              // Shape2(0) right edge
        QCOMPARE(at(152, 175), systemColour(kColorWindowFrame)); // Picture1 frame
        QCOMPARE(at(154, 157), systemColour(kColorWindow));      // Picture1 inside
        QCOMPARE(at(400, 47), systemColour(kColorWindowText));   // Shape1(0) outline
        QCOMPARE(at(405, 60), QColor(224, 224, 224));            // Shape1(0) inside
        QCOMPARE(at(485, 60), QColor(224, 224, 224));            // Shape1(1) inside
        QVERIFY(!m_form->panelReportedOn());
        PanelView& display = *m_form;
        display.setOnLampColour(QColor(255, 128, 0));
        display.setOffLampColour(systemColour(kColorInactiveBorder));
        QVERIFY(m_form->panelReportedOn());
        QCOMPARE(at(405, 60), QColor(255, 128, 0));
        QCOMPARE(at(485, 60), systemColour(kColorInactiveBorder));

        QLabel* heading = m_form->Label2(6);
        QCOMPARE(heading->palette().color(QPalette::WindowText), systemColour(kColorHighlightText));
        QVERIFY(heading->alignment() & Qt::AlignHCenter);
        QLabel* level = m_form->Label5;
        QCOMPARE(level->palette().color(QPalette::WindowText), QColor(255, 255, 0));
        QVERIFY((level->alignment() & Qt::AlignHCenter) && !level->autoFillBackground());
        QCOMPARE(level->font().family(), QStringLiteral(u"ＭＳ Ｐゴシック"));
        QVERIFY(level->font().pointSizeF() == 14.25 && level->font().bold());
#ifndef Q_OS_WIN
        // Resolves to an installed Japanese Gothic, so the texts are glyphs, never boxes.
        QCOMPARE(QFontInfo(level->font()).family(), kMsPGothicStandIn);
        QVERIFY(QFontMetrics(level->font()).inFont(QChar(u'ゴ')));
#endif
        QCOMPARE(japaneseFallbacks({"Arial", "ms ui gothic", "Meiryo UI"},
                                   {"@Yu Gothic", "MS UI Gothic", "Yu Mincho"}),
                 (QStringList{"Meiryo UI", "MS UI Gothic", "Yu Mincho"}));
        QCOMPARE(japaneseFallbacks({"Arial"}, {"@IPAGothic", "IPAGothic"}), QStringList{"IPAGothic"});
    }

    void tabOrder() {
        QList<QWidget*> expected, chain;
        for (int tab = 0; tab <= 35; ++tab)
            for (const Row& r : kLayout)
                if (r.tab == tab && r.kind != kLabel)
                    expected << control(r.name);
        QWidget* w = m_form->Command2(0);
        do {
            QWidget* o = owner(w);
            if ((w->focusPolicy() & Qt::TabFocus) && expected.contains(o) && !chain.endsWith(o))
                chain << o;
        } while ((w = w->nextInFocusChain()) != m_form->Command2(0));
        QCOMPARE(chain, expected);
    }

    // Tab reaches Command7 outside the client area; Enter presses it as Space does, and it keeps the
    // window on top, then not, where it is, without re-creating it. In a combo box typed text stays as
    // typed and is never added; Enter in the field is no choice, the arrow keys are.
    void keyboard() {
        m_form->show();
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        const QRect before = m_form->geometry();
        const WId id = m_form->winId();
        m_form->Combo1->setFocus();
        QTRY_COMPARE(owner(QApplication::focusWidget()), m_form->Combo1);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), m_form->Command7);
        QTest::keyClick(m_form->Command7, Qt::Key_Return);
        QVERIFY(m_form->topMostFlag() == 1 && windowTopmost(*m_form));
        QTest::keyClick(m_form->Command7, Qt::Key_Space);
        QVERIFY(m_form->topMostFlag() == 0 && !windowTopmost(*m_form));
        QVERIFY(m_form->geometry() == before && m_form->winId() == id && m_form->isVisible());

        QStringList items, expected{QStringLiteral(u"１"), QStringLiteral(u"２")};
        for (int n = 1; n <= 28; ++n) // Combo1 then Combo2
            expected << (n <= 20 ? QStringLiteral("COM%1").arg(n) : QStringLiteral("Filter%1").arg(n - 20));
        for (QComboBox* combo : {m_form->Combo3, m_form->Combo1, m_form->Combo2})
            for (int i = 0; i < combo->count(); ++i)
                items << combo->itemText(i);
        QCOMPARE(items, expected);

        QComboBox* combo = m_form->Combo1;
        QSignalSpy activated(combo, &QComboBox::activated);
        combo->lineEdit()->clear();
        QTest::keyClicks(combo->lineEdit(), QStringLiteral("C"));
        QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        QVERIFY(combo->currentText() == QStringLiteral("C") && combo->count() == 20 && activated.isEmpty());
        QTest::keyClick(combo, Qt::Key_Down);
        QVERIFY(activated.size() == 1 && combo->currentText() == QStringLiteral("COM7"));
    }
};

QTEST_MAIN(TestLayout)
#include "tst_ui_layout.moc"
