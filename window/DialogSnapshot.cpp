#include "window/DialogSnapshot.h"

#include <cstdint>
#include <vector>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QToolButton>

#include "app/PipeCommandHandler.h"
#include "kxlib/kxFileFunctions.h"
#include "kxlib/kxString.h"
#include "window/BmpFile.h"

namespace {
// The shared documents folder, where the launcher looks for the file.
constexpr int kCommonDocumentsFolder = 2;
// The text sits this far inside the frame of the field it replaces.
constexpr int kTextInset = 3;

// A field the picture shows as framed text: its text and whether it is right-aligned; false for other kinds.
bool TextOfField(QWidget* widget, QString* text, bool* right) {
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        *text = edit->displayText(); // a password field's mask, never the password
        *right = (edit->alignment() & Qt::AlignRight) != 0;
        return true;
    }
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(widget)) {
        *text = spin->text(); // the value without its arrows
        *right = (spin->alignment() & Qt::AlignRight) != 0;
        return true;
    }
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        *text = combo->currentText();
        *right = false;
        return true;
    }
    if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
        *text = plain->toPlainText();
        *right = false;
        return true;
    }
    if (auto* rich = qobject_cast<QTextEdit*>(widget)) {
        *text = rich->toPlainText();
        *right = (rich->alignment() & Qt::AlignRight) != 0;
        return true;
    }
    return false;
}

bool IsTextField(QWidget* widget) {
    QString text;
    bool right = false;
    return TextOfField(widget, &text, &right);
}

// The inner parts of a field (a spin box's edit, a combo box's list) go with the field itself.
bool InsideTextField(QWidget* widget, QDialog* dialog) {
    for (QWidget* parent = widget->parentWidget(); parent != nullptr && parent != dialog;
         parent = parent->parentWidget()) {
        if (IsTextField(parent)) {
            return true;
        }
    }
    return false;
}

// The gray frame over the field's place and its text inside; the dialog owns both.
void ReplaceWithText(QDialog* dialog, QWidget* field, const QString& text, bool right) {
    const QRect place(field->mapTo(dialog, QPoint(0, 0)), field->size());

    auto frame = std::make_unique<QFrame>(dialog);
    frame->setFrameStyle(QFrame::Box | QFrame::Plain);
    frame->setLineWidth(1);
    QPalette gray = frame->palette();
    gray.setColor(QPalette::WindowText, Qt::gray);
    frame->setPalette(gray);
    frame->setGeometry(place);
    frame->show();
    frame->raise();
    frame.release(); // the dialog owns it

    auto label = std::make_unique<QLabel>(dialog);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(field->font());
    label->setAlignment((right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
    label->setGeometry(place.adjusted(kTextInset, kTextInset, -kTextInset, -kTextInset));
    label->show();
    label->raise();
    label.release(); // the dialog owns it

    field->hide();
}

// The rendering's pixels as the bitmap stores them: rows bottom-up, each pixel blue, green, red and a zero.
std::vector<uint8_t> BottomUpPixels(const QImage& image) {
    std::vector<uint8_t> pixels;
    pixels.reserve(static_cast<size_t>(image.width()) * image.height() * 4);
    for (int y = image.height() - 1; y >= 0; --y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            pixels.push_back(static_cast<uint8_t>(qBlue(line[x])));
            pixels.push_back(static_cast<uint8_t>(qGreen(line[x])));
            pixels.push_back(static_cast<uint8_t>(qRed(line[x])));
            pixels.push_back(0);
        }
    }
    return pixels;
}
} // namespace

bool PrepareDialogForBmp(QDialog* dialog) {
    if (dialog == nullptr) {
        return false;
    }
    // Every control keeps the place the layouts gave it: a hidden one must not let the others move up.
    if (QLayout* layout = dialog->layout()) {
        layout->activate();
    }
    for (QLayout* layout : dialog->findChildren<QLayout*>()) {
        layout->setEnabled(false);
    }
    // The list is taken before the first frame is added, so what is added is not handled again.
    const QList<QWidget*> children = dialog->findChildren<QWidget*>();
    for (QWidget* child : children) {
        if (child->isWindow() || InsideTextField(child, dialog)) {
            continue;
        }
        QString text;
        bool right = false;
        if (qobject_cast<QPushButton*>(child) != nullptr || qobject_cast<QToolButton*>(child) != nullptr) {
            child->hide();
        } else if (TextOfField(child, &text, &right)) {
            if (child->isVisibleTo(dialog)) {
                ReplaceWithText(dialog, child, text, right);
            }
        } else {
            child->setEnabled(true);
        }
    }
    return true;
}

bool SaveWindowAsBmp(QWidget* window, const std::string& path) {
    if (window == nullptr || path.empty()) {
        return false;
    }
    // Qt renders the client area itself, so nothing of a frame or caption has to be cut away.
    const QImage image = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) {
        return false;
    }
    SBitmapDescription bitmap;
    bitmap.width = image.width();
    bitmap.height = image.height();
    bitmap.planes = 1;
    bitmap.bitCount = 32;
    return WriteBmpFile(path, BuildBitmapInfoHeader(bitmap), BottomUpPixels(image));
}

std::string MakeSettingsFormSnapshot(const DialogFactory& factory) {
    const std::string folder = GetSpecialFolderPath(kCommonDocumentsFolder).Str();
    if (folder.empty()) {
        return SnapshotErrorReply(kSnapshotNoFolder);
    }
    const std::string guid = kxString::NewGuidString().Str();
    const std::string path = folder + (folder.back() == '/' ? "" : "/") + guid + ".tmp";
    if (guid.empty()) {
        // Without the random source there is no name of its own: nothing is written over another's file.
        return SnapshotErrorReply(std::string(kSnapshotNotWritten) + "\"" + path + "\"");
    }

    std::unique_ptr<QDialog> dialog = factory ? factory() : nullptr;
    if (dialog == nullptr) {
        return SnapshotErrorReply(kSnapshotNoDialog);
    }
    // Laid out and polished as on the screen, without ever appearing there.
    dialog->setAttribute(Qt::WA_DontShowOnScreen);
    dialog->show();

    std::string error;
    if (!PrepareDialogForBmp(dialog.get())) {
        error = kSnapshotNotPrepared;
    } else if (!SaveWindowAsBmp(dialog.get(), path)) {
        error = std::string(kSnapshotNotWritten) + "\"" + path + "\"";
    }
    dialog->close();
    dialog.reset();
    return error.empty() ? path : SnapshotErrorReply(error);
}
