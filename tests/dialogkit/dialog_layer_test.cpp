// The dialog layer's controls where they differ from Qt's defaults.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "controls.h"
#include "dialog.h"
#include "image_list.h"
#include "resource.h"

namespace {

TEST(ProgressControl, EmptyRangeIsAnEmptyBarNotABusyOne) {
    CProgressControl bar(nullptr);
    int lower = -1;
    int upper = -1;
    bar.GetRange(lower, upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 100);
    EXPECT_EQ(bar.GetPos(), 0);
    EXPECT_EQ(bar.value(), bar.minimum());

    bar.SetRange(0, 2);
    bar.SetPos(1);
    EXPECT_EQ(bar.minimum(), 0);
    EXPECT_EQ(bar.maximum(), 2);
    EXPECT_EQ(bar.value(), 1);

    bar.SetRange(0, 0);
    bar.GetRange(lower, upper);
    EXPECT_EQ(upper, 0);
    EXPECT_GT(bar.maximum(), bar.minimum()) << "Qt shows 0..0 as a busy animation";
    EXPECT_EQ(bar.value(), bar.minimum());
}

TEST(ProgressControl, PositionsStayInRangeAndStepsWrap) {
    CProgressControl bar(nullptr);
    bar.SetRange(0, 3);
    EXPECT_EQ(bar.SetPos(7), 0);
    EXPECT_EQ(bar.GetPos(), 3);
    bar.SetPos(-2);
    EXPECT_EQ(bar.GetPos(), 0);
    bar.SetStep(1);
    bar.StepIt();
    bar.StepIt();
    EXPECT_EQ(bar.GetPos(), 2);
    bar.StepIt();
    bar.StepIt();
    EXPECT_EQ(bar.GetPos(), 1);
}

TEST(ComboBoxControl, SortedListIgnoresCaseAndKeepsTheEditText) {
    CComboBoxControl combo(true, nullptr);
    combo.setEditText(QStringLiteral("192.0.2.7"));
    combo.AddString(QStringLiteral("USB0::1::2::S::INSTR"));
    combo.AddString(QStringLiteral("tcpip0::b::INSTR"));
    combo.AddString(QStringLiteral("TCPIP0::a::INSTR"));
    combo.AddString(QStringLiteral("GPIB0::5::INSTR"));
    ASSERT_EQ(combo.count(), 4);
    EXPECT_EQ(combo.itemText(0), QStringLiteral("GPIB0::5::INSTR"));
    EXPECT_EQ(combo.itemText(1), QStringLiteral("TCPIP0::a::INSTR"));
    EXPECT_EQ(combo.itemText(2), QStringLiteral("tcpip0::b::INSTR"));
    EXPECT_EQ(combo.itemText(3), QStringLiteral("USB0::1::2::S::INSTR"));
    EXPECT_EQ(combo.currentText(), QStringLiteral("192.0.2.7"));

    combo.ResetContent();
    EXPECT_EQ(combo.count(), 0);
    EXPECT_EQ(combo.currentText(), QString());
}

TEST(ComboBoxControl, UnsortedListKeepsTheOrderOfAdding) {
    CComboBoxControl combo(false, nullptr);
    combo.AddString(QStringLiteral("b"));
    combo.AddString(QStringLiteral("a"));
    EXPECT_EQ(combo.itemText(0), QStringLiteral("b"));
}

TEST(ComboBoxControl, DropDownHandlerRunsBeforeTheListOpens) {
    CComboBoxControl combo(true, nullptr);
    combo.show();
    int countSeenByPopup = -1;
    combo.SetDropDownHandler([&] { combo.AddString(QStringLiteral("USB0::1::2::S::INSTR")); });
    combo.showPopup();
    countSeenByPopup = combo.view()->model()->rowCount();
    combo.hidePopup();
    EXPECT_EQ(countSeenByPopup, 1);
}

TEST(MessageBox, WithoutAHookShowsTheTypesIconAndButtonsAndAnswersWithTheirIds) {
    struct Case {
        unsigned type;
        QMessageBox::Icon icon;
        QMessageBox::StandardButton press;
        int answer;
    };
    const Case cases[] = {
        {MB_OK | MB_ICONERROR, QMessageBox::Critical, QMessageBox::Ok, IDOK},
        {MB_YESNO | MB_ICONEXCLAMATION, QMessageBox::Warning, QMessageBox::Yes, IDYES},
        {MB_YESNO | MB_ICONEXCLAMATION, QMessageBox::Warning, QMessageBox::No, IDNO},
        {MB_OK | MB_ICONINFORMATION, QMessageBox::Information, QMessageBox::Ok, IDOK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        QString text;
        QString title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer::singleShot(0, qApp, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            if (QAbstractButton* button = box->button(c.press))
                button->click();
            else
                box->reject();
        });
        EXPECT_EQ(ShowMessageBox(nullptr, "Upgrade complete.", "Complete", c.type), c.answer);
        EXPECT_EQ(text, QStringLiteral("Upgrade complete."));
        EXPECT_EQ(title, QStringLiteral("Complete"));
        EXPECT_EQ(icon, c.icon);
    }
}

TEST(ImageList, TreeStripGivesFifteenPicturesWithWhiteTransparent) {
    CImageList images;
    ASSERT_TRUE(images.Create(IDB_TREEIMAGES, 17, qRgb(255, 255, 255)));
    ASSERT_EQ(images.GetImageCount(), 15);
    for (int i = 0; i < images.GetImageCount(); ++i) {
        SCOPED_TRACE(i);
        const QImage picture = images.GetIcon(i).pixmap(17, 16).toImage();
        EXPECT_EQ(picture.size(), QSize(17, 16));
        int opaque = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                opaque += qAlpha(picture.pixel(x, y)) != 0;
        EXPECT_GT(opaque, 10) << "every picture shows something";
        EXPECT_LT(opaque, 17 * 16) << "its white background is transparent";
    }
    EXPECT_TRUE(images.GetIcon(15).isNull());
    EXPECT_TRUE(images.GetIcon(-1).isNull());
}

TEST(ImageList, UnknownBitmapGivesNoImages) {
    CImageList images;
    EXPECT_FALSE(images.Create(999, 17, qRgb(255, 255, 255)));
    EXPECT_EQ(images.GetImageCount(), 0);
    EXPECT_FALSE(images.Create(IDB_TREEIMAGES, 0, qRgb(255, 255, 255)));
}

}  // namespace
