// Window construction: every control in its place, and the reply display.
#include "ui/form1.h"

#include "capture/camera.h"
#include "core/wait.h"
#include "link/comm.h"
#include "link/protocol.h"
#include "ui/controls.h"
#include "ui/fonts.h"
#include "ui/syscolors.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

#include <initializer_list>
#include <type_traits>

// The pictures live in the static ui library; referencing their initialiser keeps them linked in.
static void initBrivaneResources() {
    Q_INIT_RESOURCE(brivane);
}

namespace brivane {

namespace {

constexpr int kClientWidth = 727;  // 10905 twips
constexpr int kClientHeight = 213; // 3195 twips
const QColor kFormBackground(64, 64, 64);
const QColor kGroupBorder(128, 128, 128);
const QColor kReadoutBorder(192, 0, 192);
const QColor kYellow(255, 255, 0);

// Positions and sizes are laid out in twips, 15 to the pixel.
int px(int twips) {
    return qRound(twips / 15.0);
}
QRect twips(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}
QPoint twipPoint(int x, int y) {
    return QPoint(px(x), px(y));
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

// A label: transparent, text from the top, never takes the focus.
QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text, const QRect& geometry,
                  const QColor& colour, bool centred) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignTop | (centred ? Qt::AlignHCenter : Qt::AlignLeft));
    label->setFocusPolicy(Qt::NoFocus);
    label->setGeometry(geometry);
    setTextColour(label, colour);
    return label;
}

QLabel* makePicture(QWidget* parent, const QString& name, const QString& resource, const QRect& geometry) {
    auto* picture = new QLabel(parent);
    picture->setObjectName(name);
    picture->setGeometry(geometry);
    picture->setScaledContents(true);
    picture->setPixmap(QPixmap(resource));
    return picture;
}

ShapeControl* makeShape(QWidget* parent, const QString& name, const QRect& geometry, const QColor& border) {
    auto* shape = new ShapeControl(parent);
    shape->setObjectName(name);
    shape->setGeometry(geometry);
    shape->setBorderColour(border);
    return shape;
}

LineControl* makeLine(QWidget* parent, const QString& name, QPoint from, QPoint to, const QColor& colour) {
    auto* line = new LineControl(parent);
    line->setObjectName(name);
    line->setPoints(from, to);
    line->setColour(colour);
    return line;
}

template <typename Button>
Button* makeButton(QWidget* parent, const QString& name, const QString& caption, const QRect& geometry) {
    auto* button = new Button(caption, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    // The ON/OFF buttons act on the mouse only; the others click with Space and Enter alike.
    if constexpr (!std::is_same_v<Button, PressButton>)
        button->installEventFilter(new EnterClicks(button));
    button->setGeometry(geometry);
    return button;
}

QLineEdit* makeTextBox(QWidget* parent, const QString& name, const QString& text, const QRect& geometry) {
    auto* box = new QLineEdit(text, parent);
    box->setObjectName(name);
    box->setAlignment(Qt::AlignCenter);
    box->setFont(msPGothic(11.25));
    box->setGeometry(geometry);
    box->setCursorPosition(0);
    return box;
}

// Editable drop-down: typed text stays as typed (no completion, never added to the list).
QComboBox* makeCombo(QWidget* parent, const QString& name, const QStringList& items, const QString& text,
                     const QRect& geometry) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCompleter(nullptr);
    combo->lineEdit()->installEventFilter(new ComboEnterGuard(combo));
    combo->setMaxVisibleItems(8);
    combo->addItems(items);
    combo->setCurrentIndex(static_cast<int>(items.indexOf(text)));
    combo->setEditText(text);
    combo->setGeometry(geometry);
    return combo;
}

QStringList numbered(const QString& prefix, int first, int last) {
    QStringList out;
    for (int n = first; n <= last; ++n)
        out << prefix + QString::number(n);
    return out;
}

} // namespace

Form1::Form1(Form1Context context, QWidget* parent) : QWidget(parent), m_context(std::move(context)) {
    initBrivaneResources();
    installFontSubstitutes();
    createControls();
    m_comm = std::make_unique<COMM>(m_context.ports);
    wireHandlers();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::createControls() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral(u"Brivane　MaxImDL"));
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
#ifdef Q_OS_WIN
    flags |= Qt::MSWindowsFixedSizeDialogHint;
#endif
    setWindowFlags(flags);
    setFixedSize(kClientWidth, kClientHeight);
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/brivane-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/brivane-32.png"), QSize(32, 32));
    setWindowIcon(icon);

    // The form's colour is painted by a backdrop rather than the form's palette, so the controls
    // keep the platform's standard palette.
    auto* backdrop = new QWidget(this);
    backdrop->setObjectName(QStringLiteral("Form1.backdrop"));
    backdrop->setGeometry(0, 0, kClientWidth, kClientHeight);
    backdrop->setAutoFillBackground(true);
    QPalette backdropPalette = backdrop->palette();
    backdropPalette.setColor(QPalette::Window, kFormBackground);
    backdrop->setPalette(backdropPalette);

    const QColor highlightText = systemColour(kColorHighlightText);
    const QColor inactiveBorder = systemColour(kColorInactiveBorder);

    // Graphical controls first: they lie beneath every windowed control.
    Shape2.add(1, makeShape(this, QStringLiteral("Shape2(1)"), twips(120, 360, 2895, 1695), kGroupBorder));
    Shape2.add(2, makeShape(this, QStringLiteral("Shape2(2)"), twips(120, 2280, 2895, 735), kGroupBorder));
    Shape2.add(0, makeShape(this, QStringLiteral("Shape2(0)"), twips(9720, 120, 975, 615), kReadoutBorder));
    for (int index : {0, 1}) {
        const QRect geometry = index == 0 ? twips(6000, 705, 255, 390) : twips(7200, 705, 255, 390);
        ShapeControl* lamp = makeShape(this, QStringLiteral("Shape1(%1)").arg(index), geometry,
                                       systemColour(kColorWindowText));
        lamp->setOpaque(true);
        lamp->setBackgroundColour(kLampDesign);
        Shape1.add(index, lamp);
    }
    Line3 = makeLine(this, QStringLiteral("Line3"), twipPoint(2880, 1200), twipPoint(240, 1200),
                     systemColour(kColorActiveBorder));
    Line2 =
        makeLine(this, QStringLiteral("Line2"), twipPoint(6000, 1200), twipPoint(10680, 1200), kGroupBorder);
    Line1 =
        makeLine(this, QStringLiteral("Line1"), twipPoint(6000, 2280), twipPoint(10680, 2280), kGroupBorder);

    Image1 = makePicture(this, QStringLiteral("Image1"), QStringLiteral(":/images/panel.png"),
                         twips(240, 405, 600, 690));
    Image3 = makePicture(this, QStringLiteral("Image3"), QStringLiteral(":/images/camera.png"),
                         twips(240, 1320, 600, 600));
    Image2.add(0, makePicture(this, QStringLiteral("Image2(0)"), QStringLiteral(":/images/inverter.png"),
                              twips(6000, 50, 600, 570)));
    Image2.add(1, makePicture(this, QStringLiteral("Image2(1)"), QStringLiteral(":/images/lamp.png"),
                              twips(8880, 120, 750, 810)));
    Image4 = makePicture(this, QStringLiteral("Image4"), QStringLiteral(":/images/plug.png"),
                         twips(6000, 2400, 600, 600));

    // Labels.
    struct LabelRow {
        int index;
        const char16_t* text;
        QRect geometry;
        bool centred;
    };
    const LabelRow label2Rows[] = {
        {6, u"フラット画像撮影", twips(720, 120, 1815, 255), true},
        {5, u"ガンマ中央値", twips(1005, 1320, 1695, 255), true},
        {8, u"撮影設定値", twips(3360, 120, 1815, 255), true},
        {1, u"露光時間", twips(3480, 600, 975, 255), false},
        {11, u"秒", twips(5520, 600, 975, 255), false},
        {2, u"ビニング", twips(3480, 1065, 975, 255), false},
        {3, u"フィルター", twips(3480, 1545, 975, 255), false},
        {4, u"ガンマ中央値", twips(3240, 2025, 1215, 255), false},
        {7, u"撮像枚数", twips(3480, 2640, 975, 255), false},
        {10, u"ＥＬパネルインバーター", twips(6720, 240, 1815, 255), true},
        {9, u"パネル出力", twips(9720, 840, 975, 255), false},
        {0, u"デューティ（電圧）", twips(6240, 1320, 1935, 255), true},
    };
    for (const LabelRow& row : label2Rows)
        Label2.add(row.index,
                   makeLabel(this, QStringLiteral("Label2(%1)").arg(row.index), QString::fromUtf16(row.text),
                             row.geometry, highlightText, row.centred));
    Label2(9)->setFont(msPGothic(9.75));

    Label5 = makeLabel(this, QStringLiteral("Label5"), QStringLiteral("00000"), twips(1185, 1680, 1335, 285),
                       kYellow, true);
    Label5->setFont(msPGothic(14.25, true));
    Label1.add(0, makeLabel(this, QStringLiteral("Label1(0)"), kReadoutDesignText,
                            twips(9600, 240, 1215, 495), kReadoutDesign, true));
    Label1(0)->setFont(msPGothic(15.75, true));
    Label3.add(1, makeLabel(this, QStringLiteral("Label3(1)"), QStringLiteral("0% - 86%"),
                            twips(9480, 1320, 1095, 255), inactiveBorder, false));
    Label3(1)->setFont(msPGothic(12));
    Label7 = makeLabel(this, QStringLiteral("Label7"), QStringLiteral(u"通信ポート："),
                       twips(6720, 2400, 975, 255), inactiveBorder, false);

    // Windowed controls, created in tab order.
    Command2.add(0, makeButton<PressButton>(this, QStringLiteral("Command2(0)"), QStringLiteral("ON"),
                                            twips(6240, 720, 855, 375)));
    Command2.add(1, makeButton<PressButton>(this, QStringLiteral("Command2(1)"), QStringLiteral("OFF"),
                                            twips(7440, 720, 855, 375)));

    auto* slider = new ReleaseSlider(Qt::Horizontal, this);
    slider->setObjectName(QStringLiteral("Slider1(0)"));
    slider->setRange(protocol::kMinLevel, protocol::kMaxLevel);
    slider->setValue(30);
    slider->setSingleStep(1);
    slider->setPageStep(5);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(1);
    slider->setGeometry(twips(6480, 1560, 4215, 495));
    // The common-controls slider paints its own button-face box on any form colour.
    slider->setAutoFillBackground(true);
    QPalette sliderPalette = slider->palette();
    sliderPalette.setColor(QPalette::Window, systemColour(kColorButtonFace));
    slider->setPalette(sliderPalette);
    Slider1.add(0, slider);

    Command3.add(0, makeButton<QPushButton>(this, QStringLiteral("Command3(0)"), QStringLiteral(u"通信開始"),
                                            twips(7200, 3360, 975, 375)));
    Command3.add(1, makeButton<QPushButton>(this, QStringLiteral("Command3(1)"), QStringLiteral(u"通信切断"),
                                            twips(8280, 3360, 975, 375)));
    Combo1 = makeCombo(this, QStringLiteral("Combo1"),
                       numbered(QStringLiteral("COM"), PortMap::kFirstPort, PortMap::kLastPort),
                       QStringLiteral("COM6"), twips(6720, 2640, 1095, 300));
    Command7 = makeButton<QPushButton>(this, QStringLiteral("Command7"), QStringLiteral(u"常に手前に表示"),
                                       twips(11280, 120, 1695, 255));
    Command9.add(0, makeButton<QPushButton>(this, QStringLiteral("Command9(0)"), QStringLiteral(u"▲"),
                                            twips(6000, 1560, 375, 255)));
    Command9.add(1, makeButton<QPushButton>(this, QStringLiteral("Command9(1)"), QStringLiteral(u"▼"),
                                            twips(6000, 1920, 375, 255)));
    Command1 = makeButton<QPushButton>(this, QStringLiteral("Command1"), QStringLiteral("1kHz"),
                                       twips(9360, 2640, 615, 375));
    Command4 = makeButton<QPushButton>(this, QStringLiteral("Command4"), QStringLiteral("500Hz"),
                                       twips(10080, 2640, 615, 375));
    Text1.add(
        0, makeTextBox(this, QStringLiteral("Text1(0)"), QStringLiteral("1"), twips(4320, 480, 1095, 375)));
    Combo2 = makeCombo(this, QStringLiteral("Combo2"), numbered(QStringLiteral("Filter"), 1, 8),
                       QStringLiteral("Filter1"), twips(4320, 1440, 1095, 300));
    Text1.add(2, makeTextBox(this, QStringLiteral("Text1(2)"), QStringLiteral("30000"),
                             twips(4320, 1920, 1095, 375)));
    Command5.add(2, makeButton<QPushButton>(this, QStringLiteral("Command5(2)"), QStringLiteral(u"計測"),
                                            twips(930, 600, 1260, 495)));
    Combo3 = makeCombo(this, QStringLiteral("Combo3"), {QStringLiteral(u"１"), QStringLiteral(u"２")},
                       QStringLiteral(u"１"), twips(4320, 960, 1095, 300));
    Command5.add(0,
                 makeButton<QPushButton>(this, QStringLiteral("Command5(0)"),
                                         QStringLiteral(u"フラット画像撮影"), twips(360, 2400, 1815, 495)));
    Text1.add(
        1, makeTextBox(this, QStringLiteral("Text1(1)"), QStringLiteral("20"), twips(4320, 2520, 1095, 375)));
    Command5.add(1, makeButton<QPushButton>(this, QStringLiteral("Command5(1)"), QStringLiteral(u"中断"),
                                            twips(2280, 600, 615, 495)));

    // A 40 x 40 picture inside a one-pixel flat border, on the window-background colour.
    Picture1 = new ClickablePicture(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(twips(2280, 2330, 630, 630));
    Picture1->setFrameStyle(QFrame::Box | QFrame::Plain);
    Picture1->setLineWidth(1);
    Picture1->setAlignment(Qt::AlignCenter);
    Picture1->setAutoFillBackground(true);
    QPalette picturePalette = Picture1->palette();
    picturePalette.setColor(QPalette::Window, systemColour(kColorWindow));
    picturePalette.setColor(QPalette::WindowText, systemColour(kColorWindowFrame));
    Picture1->setPalette(picturePalette);
    Picture1->setPixmap(QPixmap(QStringLiteral(":/images/folder.png")));
    Picture1->setFocusPolicy(Qt::StrongFocus);

    // Keyboard order: ascending tab places over the controls that take the focus.
    const QList<QWidget*> tabOrder = {
        Command2(0), Command2(1), Slider1(0),  Command3(0), Command3(1), Combo1,   Command7,
        Command9(0), Command9(1), Command1,    Command4,    Text1(0),    Combo2,   Text1(2),
        Command5(2), Combo3,      Command5(0), Text1(1),    Command5(1), Picture1,
    };
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    // Interval 0 and never started: a running zero-interval timer would fire without pause.
    Timer1.setInterval(0);

    centreOnScreen(*this);
    installEventFilter(new CentreOnFirstShow(this));
}

void Form1::wireHandlers() {
    // The one place the link's reports reach the window.
    connect(m_comm.get(), &COMM::replyReceived, this,
            [this](const Reply& reply) { showReply(reply, *this); });
    // A running measurement or series notices the loss itself (COMM::losses) and tells the user.
    connect(m_comm.get(), &COMM::portLost, this, [this] { showPanelUnknown(*this); });
    // Direct connection: the box is answered before COMM1open returns.
    connect(m_comm.get(), &COMM::openFailed, this, [this] { dialogs().message(portMessage()); });

    for (int index : Command2.indices())
        connect(Command2(index), &PressButton::mouseDown, this,
                [this, index](Qt::MouseButton button, Qt::KeyboardModifiers modifiers) {
                    Command2_MouseDown(index, button, modifiers);
                });
    connect(Slider1(0), &ReleaseSlider::mouseUp, this,
            [this](Qt::MouseButton button, Qt::KeyboardModifiers modifiers) {
                Slider1_MouseUp(0, button, modifiers);
            });
    for (int index : Command9.indices())
        connect(Command9(index), &QPushButton::clicked, this, [this, index] { Command9_Click(index); });
    for (int index : Command5.indices())
        connect(Command5(index), &QPushButton::clicked, this, [this, index] { Command5_Click(index); });
    for (int index : Command3.indices())
        connect(Command3(index), &QPushButton::clicked, this,
                [this, index] { handle([&] { Command3_Click(index); }); });
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
    // activated: a choice from the list (mouse or arrow keys); typing and setting the text do not raise it.
    connect(Combo1, &QComboBox::activated, this, &Form1::Combo1_Click);
#ifndef Q_OS_WIN
    // Listed when looked at: listing the ports takes too long for start-up.
    Combo1->installEventFilter(new BeforeEvent(Combo1, QEvent::ToolTip, [this] { showPortTips(); }));
    Combo1->view()->installEventFilter(new BeforeEvent(Combo1, QEvent::Show, [this] { showPortTips(); }));
#endif
    connect(Picture1, &ClickablePicture::clicked, this, &Form1::Picture1_Click);
    connect(&Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
}

void Form1::handle(const std::function<void()>& body) {
    if (m_ended)
        return;
    try {
        body();
    } catch (const ProgramEnding&) {
        // The window is closing: the interrupted operation does nothing more.
    }
}

void Form1::setOnLampColour(const QColor& colour) {
    Shape1(0)->setBackgroundColour(colour);
}

void Form1::setOffLampColour(const QColor& colour) {
    Shape1(1)->setBackgroundColour(colour);
}

void Form1::setReadoutColour(const QColor& colour) {
    setTextColour(Label1(0), colour);
}

void Form1::setReadoutText(const QString& text) {
    Label1(0)->setText(text);
}

void Form1::beep() {
    QApplication::beep();
}

bool Form1::panelReportedOn() const {
    return lampShowsOn(Shape1(0)->backgroundColour());
}

CaptureState Form1::captureState() {
    return CaptureState{Exp_Time, ADC_Target, ADC_Low, ADC_High, ADC_Value, Stop_Flag, Save_Path};
}

void Form1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

} // namespace brivane
