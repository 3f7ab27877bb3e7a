// The main window's controls: their look, their places and sizes, the
// captions fitted to their room, the tab order and the keys; and how the
// controls show a source's facts (the sex buttons, the source path).
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/window/main_form.h"
#include "app/window/window_text.h"

namespace trevik::window {

namespace {

const QColor kGrey(128, 128, 128);
const QColor kLightGrey(224, 224, 224);
const QColor kGreyText(128, 128, 128);

QFont arialBold(int pixels) {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixels);
    font.setBold(true);
    return font;
}

void fillWith(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void textColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

QFrame* makePanel(QWidget* parent, const char* name) {
    auto* panel = new QFrame(parent);
    panel->setObjectName(QString::fromLatin1(name));
    fillWith(panel, kGrey);
    return panel;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* text, const QColor& colour, int x, int y) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    textColour(label, colour);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QLineEdit* makeEdit(QWidget* parent, const char* name, int x, int y, int width, const char* text) {
    auto* edit = new QLineEdit(QString::fromLatin1(text), parent);
    edit->setObjectName(QString::fromLatin1(name));
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, kLightGrey);
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::Disabled, QPalette::Text, kGreyText);
    edit->setPalette(palette);
    edit->setTextMargins(0, 0, 0, 0);
    // The box keeps its height whatever the font.
    edit->setGeometry(x, y, width, 18);
    return edit;
}

QPushButton* makeButton(QWidget* parent, const char* name, const char* caption, QStyle::StandardPixmap glyph, int x,
                        int y) {
    auto* button = new QPushButton(parent->style()->standardIcon(glyph), QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    textColour(button, Qt::black);
    button->setGeometry(x, y, 73, 25);
    // Enter on a focused button clicks that button, as Space does.
    button->setAutoDefault(true);
    return button;
}

// The room a caption leaves before the control that follows it.
constexpr int kLabelGap = 2;

// The captions of a panel, as opposed to its controls.
bool isCaption(const QWidget* widget) {
    return qobject_cast<const QLabel*>(widget) && widget->objectName().startsWith(QLatin1String("Label"));
}

// The width a caption may take: up to kLabelGap before the nearest control
// to its right on the same row, or up to the inner edge of its panel's
// frame when no control follows.
int captionRoom(const QLabel* label) {
    const auto* panel = static_cast<const QFrame*>(label->parentWidget());
    int limit = panel->contentsRect().right() + 1;
    const QRect row = label->geometry();
    for (const QWidget* control : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QRect place = control->geometry();
        if (control == label || isCaption(control) || place.x() < row.x()) continue;
        if (place.top() <= row.bottom() && place.bottom() >= row.top())
            limit = std::min(limit, place.x() - kLabelGap);
    }
    return limit - label->x();
}

// A caption too long for its room takes the largest pixel size of the same
// face that fits; its place stays, and its text keeps the middle of the row
// it had at full size.
void fitCaptions(QWidget* panel) {
    for (QLabel* label : panel->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (!isCaption(label)) continue;
        const int room = captionRoom(label);
        if (label->width() <= room) continue;
        const int rowHeight = label->height();
        QFont font = label->font();
        for (int pixels = font.pixelSize() - 1; pixels > 1; --pixels) {
            font.setPixelSize(pixels);
            label->setFont(font);
            if (label->sizeHint().width() <= room) break;
        }
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->resize(label->sizeHint().width(), rowHeight);
    }
}

}  // namespace

// The input row: its caption, the source path and the Select button.
QFrame* TMainForm::buildInputRow(QVBoxLayout* layout) {
    QFrame* Panel1 = makePanel(this, "Panel1");
    Panel1->setFixedHeight(34);
    layout->addWidget(Panel1);
    makeLabel(Panel1, "Label23", "Input File", Qt::white, 12, 10);
    pnIn = new QLabel(Panel1);
    pnIn->setObjectName(QStringLiteral("pnIn"));
    pnIn->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pnIn->setLineWidth(1);
    pnIn->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pnIn->setIndent(4);
    fillWith(pnIn, kLightGrey);
    textColour(pnIn, Qt::black);
    pnIn->setGeometry(80, 8, 337, 18);
    auto* btIn = new QToolButton(Panel1);
    btIn->setObjectName(QStringLiteral("btIn"));
    btIn->setText(QStringLiteral("Select"));
    btIn->setFocusPolicy(Qt::NoFocus);
    textColour(btIn, Qt::black);
    btIn->setGeometry(423, 10, 48, 18);
    connect(btIn, &QToolButton::clicked, this, &TMainForm::btInClick);
    // Ctrl+O selects, as Open does in other programs.
    auto* selectKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this);
    connect(selectKey, &QShortcut::activated, btIn, &QToolButton::click);
    return Panel1;
}

// The study's captions and boxes, the sex buttons among them.
void TMainForm::buildStudyFields(QFrame* Panel3) {
    // Labels first: the boxes created after them lie on top, so a caption
    // that runs long is covered by its box.
    makeLabel(Panel3, "Label7", "ID", Qt::yellow, 8, 6);
    makeLabel(Panel3, "Label8", "Name", Qt::yellow, 8, 26);
    makeLabel(Panel3, "Label11", "Height, Weight", Qt::white, 8, 46);
    makeLabel(Panel3, "Label17", "(cm)", Qt::white, 128, 46);
    makeLabel(Panel3, "Label18", "(kg)", Qt::white, 204, 46);
    makeLabel(Panel3, "Label16", "Sex", Qt::white, 8, 66);
    makeLabel(Panel3, "Label14", "Tracer", Qt::white, 8, 86);
    makeLabel(Panel3, "Label15", "Comment", Qt::white, 8, 106);
    makeLabel(Panel3, "Label9", "Exam. Date", Qt::yellow, 248, 6);
    makeLabel(Panel3, "Label13", "Exam. Time", Qt::white, 248, 26);
    makeLabel(Panel3, "Label10", "Heart Rate", Qt::yellow, 248, 47);
    makeLabel(Panel3, "Label12", "(beats/min)", Qt::white, 400, 47);
    makeLabel(Panel3, "Label19", "Pixel Size", Qt::yellow, 248, 86);
    makeLabel(Panel3, "Label20", "(mm)", Qt::white, 392, 86);
    makeLabel(Panel3, "Label21", "Slice Thickness", Qt::yellow, 248, 106);
    makeLabel(Panel3, "Label22", "(mm)", Qt::white, 392, 106);

    edID = makeEdit(Panel3, "edID", 88, 4, 136, "");
    edName = makeEdit(Panel3, "edName", 88, 24, 136, "");
    edHeight = makeEdit(Panel3, "edHeight", 88, 44, 36, "0");
    edWeight = makeEdit(Panel3, "edWeight", 164, 44, 36, "0");
    rbM = new QRadioButton(QStringLiteral("Male"), Panel3);
    rbM->setObjectName(QStringLiteral("rbM"));
    rbM->setGeometry(88, 66, 53, 17);
    rbM->setChecked(true);
    rbF = new QRadioButton(QStringLiteral("Female"), Panel3);
    rbF->setObjectName(QStringLiteral("rbF"));
    // The indicator of this platform's style is wider than the original's:
    // the caption keeps its room.
    rbF->setGeometry(160, 66, std::max(61, rbF->sizeHint().width()), 17);
    edTracer = makeEdit(Panel3, "edTracer", 88, 84, 136, "");
    edComment = makeEdit(Panel3, "edComment", 88, 104, 136, "");
    edDate = makeEdit(Panel3, "edDate", 328, 4, 136, "");
    edTime = makeEdit(Panel3, "edTime", 328, 24, 136, "");
    // Save never reads date and time: they can be selected and copied, not
    // typed over, and look like the boxes that only show values.
    for (QLineEdit* box : {edDate, edTime}) {
        box->setReadOnly(true);
        textColour(box, kGreyText);
    }
    edHR = makeEdit(Panel3, "edHR", 328, 45, 57, "0");
    edPix = makeEdit(Panel3, "edPix", 328, 84, 57, "0.0");
    edThick = makeEdit(Panel3, "edThick", 328, 104, 57, "0.0");
    // White captions; the indicator keeps a dark mark on its light face.
    for (QRadioButton* radio : {rbM, rbF}) {
        QPalette palette = radio->palette();
        palette.setColor(QPalette::WindowText, Qt::white);
        palette.setColor(QPalette::Text, Qt::black);
        radio->setPalette(palette);
    }
    connect(rbM, &QRadioButton::toggled, this, &TMainForm::keepRadioTabStop);
    connect(rbF, &QRadioButton::toggled, this, &TMainForm::keepRadioTabStop);
    keepRadioTabStop();
    // The boxes are 18 pixels high whatever the font: the text gets the
    // whole inside of the frame, descenders included. The two 36-pixel
    // boxes also give their text the width of the frame's inner margin, so
    // that a height such as "172.5" fits, and show it from its start once
    // the user leaves them.
    for (QLineEdit* box : Panel3->findChildren<QLineEdit*>()) box->setTextMargins(0, -2, 0, -2);
    for (QLineEdit* box : {edHeight, edWeight}) {
        box->setTextMargins(-3, -2, -3, -2);
        box->installEventFilter(this);
    }
}

void TMainForm::buildControls() {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QString::fromUtf8(kWindowCaption));
    setFont(arialBold(14));
    fillWith(this, kGrey);
    textColour(this, Qt::white);

    // Input row across the top, the rest below it: both follow the window's
    // width, the lower area also its height.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    QFrame* Panel1 = buildInputRow(layout);

    QFrame* Panel4 = makePanel(this, "Panel4");
    layout->addWidget(Panel4, 1);
    QLabel* Label1 = makeLabel(Panel4, "Label1", "Study Information", Qt::white, 10, 6);
    Label1->setFont(arialBold(16));
    Label1->adjustSize();

    QFrame* Panel3 = makePanel(Panel4, "Panel3");
    Panel3->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel3->setLineWidth(1);
    Panel3->setGeometry(8, 23, 477, 134);

    buildStudyFields(Panel3);

    BtOK = makeButton(Panel4, "BtOK", "Save", QStyle::SP_DialogOkButton, 260, 164);
    BtOK->setEnabled(false);
    BitBtn2 = makeButton(Panel4, "BitBtn2", "&Cancel", QStyle::SP_DialogCancelButton, 336, 164);
    QPushButton* btHelp = makeButton(Panel4, "btHelp", "&Help", QStyle::SP_DialogHelpButton, 412, 164);
    connect(BtOK, &QPushButton::clicked, this, &TMainForm::BtOKClick);
    connect(BitBtn2, &QPushButton::clicked, this, &TMainForm::BitBtn2Click);
    connect(btHelp, &QPushButton::clicked, this, &TMainForm::btHelpClick);

    // The client area of a 501 x 252 frame with four-pixel borders and a
    // 19-pixel caption.
    resize(493, 225);
    move(194, 99);
    // The panels take their sizes now, so that captions fit within them.
    layout->activate();
    for (QWidget* panel : {static_cast<QWidget*>(Panel1), static_cast<QWidget*>(Panel4), static_cast<QWidget*>(Panel3)})
        fitCaptions(panel);

    // The tab order, across the rows of both columns, then the buttons.
    QWidget* order[] = {edID,   edName,    edHeight, edWeight, edDate, edTime, edHR, edTracer,
                        edComment, rbM, rbF, edPix, edThick, btHelp, BitBtn2, BtOK};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) QWidget::setTabOrder(order[i], order[i + 1]);
}

// The two radio buttons are one tab stop, the selected one (Male when
// neither is), as in a radio group; the arrow keys move between them.
void TMainForm::keepRadioTabStop() {
    rbM->setFocusPolicy(rbF->isChecked() ? Qt::ClickFocus : Qt::StrongFocus);
    rbF->setFocusPolicy(rbF->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
}

void TMainForm::showSex(const char* sex) {
    // An exclusive group cannot uncheck its checked button: the exclusion is
    // lifted while both are set.
    for (QRadioButton* radio : {rbM, rbF}) radio->setAutoExclusive(false);
    rbM->setChecked(sex[0] == 'M');
    rbF->setChecked(sex[0] == 'F');
    for (QRadioButton* radio : {rbM, rbF}) radio->setAutoExclusive(true);
}

void TMainForm::showSourcePath(const QString& path) {
    pnIn->setText(path);
    pnIn->setToolTip(path);
    const int room = pnIn->contentsRect().width() - 2 * pnIn->indent();
    const bool fits = pnIn->fontMetrics().horizontalAdvance(path) <= room;
    pnIn->setAlignment((fits ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut && (watched == edHeight || watched == edWeight))
        static_cast<QLineEdit*>(watched)->setCursorPosition(0);
    return QWidget::eventFilter(watched, event);
}

void TMainForm::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier)) {
        QWidget::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Escape:
        BitBtn2->click();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (BtOK->isEnabled()) BtOK->click();
        return;
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
        // The radio buttons move only where the other lies in the arrow's
        // direction; in a group of two every arrow goes to the other one.
        if (QWidget* focus = focusWidget(); focus == rbM || focus == rbF) {
            QRadioButton* other = focus == rbM ? rbF : rbM;
            other->setFocus(Qt::OtherFocusReason);
            other->setChecked(true);
            return;
        }
        QWidget::keyPressEvent(event);
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

}  // namespace trevik::window
