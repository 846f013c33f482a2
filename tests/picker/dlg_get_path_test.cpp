#include "dlg_get_path.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fake_file_systems.h"
#include "gui_fixture.h"
#include "resource.h"
#include "tree_model.h"

namespace fs = std::filesystem;

namespace {

// A workstation: a system disk, a USB stick, an empty CD drive, a RAM disk
// and two network mounts from one server, whose names differ in case.
const char* const kMachine =
    "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
    "2 1 0:22 / /proc rw - proc proc rw\n"
    "3 1 0:31 / /mnt/share rw - cifs //NAS01/Firmware rw\n"
    "4 1 0:30 / /mnt/nas rw - nfs4 nas01:/export/releases rw\n"
    "5 1 0:32 / /home/op/build rw - fuse.sshfs op@BUILD7:/srv/out rw\n"
    "6 1 8:17 / /media/USB rw - vfat /dev/sdb1 rw\n"
    "7 1 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n"
    "8 1 0:40 / /run rw - tmpfs tmpfs rw\n";

class PickerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "picker-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        for (const char* folder :
             {"tmp/Release/v1/host", "tmp/Sub", "tmp/empty", "tmp/files-only", "tmp/.cache",
              "srv/WINDOWS", "srv/MyDATA", "srv/2024", "data/DATA/x", "data/Data", "mnt/nas",
              "mnt/share/Builds/2026", "media/USB/fw", "media/cdrom", "run"})
            fs::create_directories(m_root / folder);
        std::ofstream(m_root / "tmp/files-only/notes.txt") << "x";
        m_machine.set_mount_table(kMachine);
        m_machine.set_removable("8:17");
        m_machine.set_real_root(m_root.string());
        m_liveRecords = NetResourceRecord::LiveCount();
    }

    void TearDown() override {
        m_dialog.reset();
        EXPECT_EQ(NetResourceRecord::LiveCount(), m_liveRecords) << "a record outlived the picker";
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    // The picker built and walked along `start`, without a modal loop.
    CDlgGetPath& Open(const std::string& start) {
        m_dialog = std::make_unique<CDlgGetPath>(nullptr, &m_machine);
        m_dialog->SetPath(start);
        EXPECT_TRUE(m_dialog->Create());
        return *m_dialog;
    }

    CTreeCtrl& Tree() { return m_dialog->m_tree; }

    std::vector<std::string> Texts(HTREEITEM parent) {
        std::vector<std::string> texts;
        for (HTREEITEM n = Tree().GetChildItem(parent); n; n = Tree().GetNextSiblingItem(n))
            texts.push_back(Tree().GetItemText(n));
        return texts;
    }

    HTREEITEM Child(HTREEITEM parent, const std::string& text) {
        for (HTREEITEM n = Tree().GetChildItem(parent); n; n = Tree().GetNextSiblingItem(n)) {
            if (Tree().GetItemText(n) == text) return n;
        }
        ADD_FAILURE() << "no node " << text;
        return nullptr;
    }

    TreeItem Item(HTREEITEM node) {
        TreeItem item;
        item.m_mask = TVIF_HANDLE | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_CHILDREN | TVIF_PARAM;
        item.m_hItem = node;
        Tree().GetItem(item);
        return item;
    }

    std::string Selected() {
        HTREEITEM node = Tree().GetSelectedItem();
        return node ? m_dialog->GetNodePath(node) : "(none)";
    }
    bool OkEnabled() { return m_dialog->GetDlgItem(IDOK)->isEnabled(); }
    std::string PathText() { return m_dialog->GetDlgItemText(IDC_PATH_TEXT); }

    // The display texts of the expanded nodes, top to bottom.
    std::vector<std::string> Expanded() {
        std::vector<std::string> texts;
        for (QTreeWidgetItemIterator it(Tree().GetControl()); *it; ++it) {
            if ((*it)->isExpanded()) texts.push_back(Tree().GetItemText(*it));
        }
        return texts;
    }

    fs::path m_root;
    platform::FakeFileSystems m_machine;
    std::unique_ptr<CDlgGetPath> m_dialog;
    int m_liveRecords = 0;
};

using Strings = std::vector<std::string>;

}  // namespace

TEST_F(PickerTest, TopLevelHoldsTypedDrivesAndTheNetworkRootFromTheMountTableAlone) {
    m_machine.set_mount_table(std::string(kMachine) +
                              "9 1 8:1 /c/hosts /etc/hosts rw - ext4 /dev/sda1 rw\n");
    m_machine.set_file_mount("/etc/hosts");
    CDlgGetPath& dlg = Open("Invalid directory");
    EXPECT_EQ(dlg.windowTitle(), "Select Release Directory");
    EXPECT_EQ(Texts(TVI_ROOT), (Strings{"/", "/home/op/build", "/media/cdrom", "/media/USB",
                                        "/mnt/nas", "/mnt/share", "/run", "Network Neighborhood"}));
    const std::pair<const char*, int> images[] = {
        {"/", 3},        {"/home/op/build", 4}, {"/media/cdrom", 5}, {"/media/USB", 2},
        {"/mnt/nas", 4}, {"/mnt/share", 4},     {"/run", 6},         {"Network Neighborhood", 7}};
    for (const auto& [text, image] : images) {
        const TreeItem item = Item(Child(TVI_ROOT, text));
        EXPECT_EQ(item.m_image, image) << text;
        EXPECT_EQ(item.m_selectedImage, image) << text;
        EXPECT_EQ(item.m_children, 1) << text << ": every node starts with an expand button";
        EXPECT_EQ(item.m_param, 0u) << text;
        EXPECT_EQ(Tree().GetChildItem(item.m_hItem), nullptr) << text;
    }
    EXPECT_EQ(dlg.m_hNetworkRoot, Child(TVI_ROOT, "Network Neighborhood"));
    EXPECT_TRUE(m_machine.listed.empty()) << "opening listed a folder";
    EXPECT_EQ(m_machine.network_calls, 0);
    EXPECT_EQ(Tree().GetSelectedItem(), nullptr);
    EXPECT_FALSE(OkEnabled());
    EXPECT_EQ(PathText(), "<dir>");
}

TEST_F(PickerTest, OpensAlongTheStartDirectoryHoweverItIsSeparated) {
    for (const char* start :
         {"/tmp/Release/v1", "/tmp/Release/v1/", "/tmp//Release///v1", "//tmp/Release/v1"}) {
        SCOPED_TRACE(start);
        m_machine.listed.clear();
        Open(start);
        EXPECT_EQ(Selected(), "/tmp/Release/v1/");
        EXPECT_EQ(PathText(), "/tmp/Release/v1/");
        EXPECT_TRUE(OkEnabled());
        EXPECT_EQ(Expanded(), (Strings{"/", "tmp", "Release", "v1"}));
        EXPECT_EQ(m_machine.listed, (Strings{"/", "/tmp", "/tmp/Release", "/tmp/Release/v1"}));
    }
}

TEST_F(PickerTest, WalkSkipsWhatDoesNotExistAndStopsAtTheDeepestMatch) {
    Open("/tmp/Gone/Sub");
    EXPECT_EQ(Selected(), "/tmp/Sub/") << "Sub is looked for where Gone would have been";
    Open("/tmp/Release/v9");
    EXPECT_EQ(Selected(), "/tmp/Release/");
    EXPECT_EQ(PathText(), "/tmp/Release/");

    for (const char* start : {"Invalid directory", "C:\\Temp", "tmp/Release"}) {
        SCOPED_TRACE(start);
        m_machine.listed.clear();
        Open(start);
        EXPECT_EQ(Tree().GetSelectedItem(), nullptr);
        EXPECT_TRUE(Expanded().empty());
        EXPECT_TRUE(m_machine.listed.empty());
        EXPECT_FALSE(OkEnabled());
        EXPECT_EQ(PathText(), "<dir>");
    }
}

TEST_F(PickerTest, TheDriveWithTheLongestMountPointTakesThePath) {
    Open("/media/USB/fw");
    EXPECT_EQ(Selected(), "/media/USB/fw/");
    EXPECT_EQ(Expanded(), (Strings{"/media/USB", "fw"}));
    EXPECT_EQ(m_machine.listed, (Strings{"/media/USB", "/media/USB/fw"}));
    // A mount point is matched by whole components: /media/USBX is on "/".
    Open("/media/USBX");
    EXPECT_EQ(Selected(), "/media/");
}

TEST_F(PickerTest, EmptyStartDirectoryListsAndSelectsTheNetworkRoot) {
    CDlgGetPath& dlg = Open("");
    EXPECT_EQ(Tree().GetSelectedItem(), dlg.m_hNetworkRoot);
    EXPECT_FALSE(OkEnabled());
    EXPECT_EQ(PathText(), "");
    EXPECT_EQ(m_machine.network_calls, 1);
    EXPECT_TRUE(m_machine.listed.empty()) << "no network file system is touched at opening";
    // One server node per server, however the mounts spell it.
    EXPECT_EQ(Texts(dlg.m_hNetworkRoot), (Strings{"Build7", "Nas01"}));
    const TreeItem server = Item(Child(dlg.m_hNetworkRoot, "Nas01"));
    EXPECT_EQ(server.m_image, 9);
    EXPECT_EQ(server.m_selectedImage, 9);
    ASSERT_NE(server.m_param, 0u);
    EXPECT_EQ(dlg.GetNodePath(server.m_hItem), "//NAS01/");
}

TEST_F(PickerTest, OkAndThePathTextFollowTheKindOfNode) {
    CDlgGetPath& dlg = Open("");
    HTREEITEM server = Child(dlg.m_hNetworkRoot, "Nas01");
    Tree().Expand(server, TVE_EXPAND);
    EXPECT_EQ(Texts(server), (Strings{"export/releases", "Firmware"}));
    HTREEITEM share = Child(server, "Firmware");
    EXPECT_EQ(Item(share).m_image, 1);
    EXPECT_EQ(Item(share).m_selectedImage, 0);
    EXPECT_EQ(Item(share).m_param, 0u);

    struct Case {
        HTREEITEM node;
        bool ok;
        const char* text;
    } cases[] = {
        {server, false, ""},
        {share, true, "/mnt/share/"},
        {Child(server, "export/releases"), true, "/mnt/nas/"},
        {dlg.m_hNetworkRoot, false, ""},
        {Child(TVI_ROOT, "/media/USB"), true, "/media/USB/"},
        {Child(TVI_ROOT, "/"), true, "/"},
    };
    for (const Case& c : cases) {
        Tree().SelectItem(c.node);
        EXPECT_EQ(OkEnabled(), c.ok) << Tree().GetItemText(c.node);
        EXPECT_EQ(PathText(), c.text) << Tree().GetItemText(c.node);
    }
    // A folder below a share leads into its mount point.
    Tree().Expand(share, TVE_EXPAND);
    HTREEITEM builds = Child(share, "Builds");
    Tree().SelectItem(builds);
    EXPECT_TRUE(OkEnabled());
    EXPECT_EQ(PathText(), "/mnt/share/Builds/");
    EXPECT_EQ(Item(builds).m_image, 1);
    EXPECT_EQ(Item(builds).m_selectedImage, 0);
}

TEST_F(PickerTest, ShownNamesAreReCasedWhilePathsKeepTheRealNames) {
    Open("/srv");
    HTREEITEM srv = Tree().GetSelectedItem();
    EXPECT_EQ(Texts(srv), (Strings{"2024", "MyDATA", "Windows"}));
    Tree().SelectItem(Child(srv, "Windows"));
    EXPECT_EQ(PathText(), "/srv/WINDOWS/");

    // Components match shown texts without regard to case...
    Open("/srv/windows");
    EXPECT_EQ(Selected(), "/srv/WINDOWS/");
    // ...but a real name wins: DATA and Data are two folders here, both shown as Data.
    Open("/data/DATA/x");
    EXPECT_EQ(Selected(), "/data/DATA/x/");
    Open("/data/Data");
    EXPECT_EQ(Selected(), "/data/Data/");

    // A name that is not UTF-8 shows with a replacement character; its
    // path keeps the real bytes.
    fs::create_directories(m_root / "srv" / "caf\xE9");
    Open("/srv");
    Tree().SelectItem(Child(Tree().GetSelectedItem(), "caf\xEF\xBF\xBD"));
    EXPECT_EQ(PathText(), "/srv/caf\xEF\xBF\xBD/") << "shown as it can be";
    m_dialog->EndDialog(IDOK);
    EXPECT_EQ(m_dialog->GetPath(), "/srv/caf\xE9/") << "returned as it is";

    // What OK returns exists.
    Open("/srv/WINDOWS");
    m_dialog->EndDialog(IDOK);
    EXPECT_EQ(m_dialog->GetPath(), "/srv/WINDOWS/");
    EXPECT_TRUE(fs::is_directory(m_root.string() + m_dialog->GetPath()));
}

TEST_F(PickerTest, ANodeIsListedOnceAndCollapsingKeepsItsChildren) {
    Open("/tmp");
    HTREEITEM tmp = Tree().GetSelectedItem();
    // Hidden folders are listed; files are not.
    EXPECT_EQ(Texts(tmp), (Strings{".cache", "empty", "files-only", "Release", "Sub"}));
    Tree().Expand(tmp, TVE_COLLAPSE);
    EXPECT_EQ(Texts(tmp).size(), 5u);
    fs::create_directories(m_root / "tmp/Later");
    Tree().Expand(tmp, TVE_EXPAND);
    EXPECT_EQ(Texts(tmp).size(), 5u) << "a listed node is never listed again";
    EXPECT_EQ(std::count(m_machine.listed.begin(), m_machine.listed.end(), "/tmp"), 1);
}

TEST_F(PickerTest, ExpandingListsAndSelectsAndEmptyListingsDropTheButton) {
    BoxRecorder boxes;
    m_machine.set_failure("/tmp/Release", EACCES);
    Open("/tmp");
    HTREEITEM tmp = Tree().GetSelectedItem();
    for (const char* name : {"empty", "files-only", "Release"}) {
        SCOPED_TRACE(name);
        HTREEITEM node = Child(tmp, name);
        Tree().Expand(node, TVE_EXPAND);
        EXPECT_EQ(Tree().GetSelectedItem(), node) << "expanding selects";
        EXPECT_EQ(PathText(), "/tmp/" + std::string(name) + "/");
        EXPECT_EQ(Tree().GetChildItem(node), nullptr);
        EXPECT_EQ(Item(node).m_children, 0) << "the expand button stays";
    }
    HTREEITEM cdrom = Child(TVI_ROOT, "/media/cdrom");
    Tree().Expand(cdrom, TVE_EXPAND);
    EXPECT_EQ(Item(cdrom).m_children, 0);
    EXPECT_TRUE(boxes.m_boxes.empty()) << "listing failures show nothing";
}

TEST_F(PickerTest, ListingRunsUnderTheWaitCursor) {
    std::vector<bool> waiting;
    m_machine.set_on_list([&waiting](const std::string&) {
        const QCursor* cursor = QApplication::overrideCursor();
        waiting.push_back(cursor && cursor->shape() == Qt::WaitCursor);
    });
    m_machine.set_failure("/tmp/Release", EACCES);
    Open("/tmp/Release");
    EXPECT_EQ(waiting, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "every way out ends the wait cursor";
}

TEST_F(PickerTest, ADeadNetworkMountIsOnlyAskedWhenExpanded) {
    // The mount answers every request with an I/O error, as a soft mount
    // whose server is gone does.
    m_machine.set_failure("/mnt/nas", EIO);
    Open("/tmp/Release");
    Open("");
    EXPECT_TRUE(std::none_of(m_machine.listed.begin(), m_machine.listed.end(),
                             [](const std::string& p) { return p.rfind("/mnt/", 0) == 0; }));
    HTREEITEM nas = Child(TVI_ROOT, "/mnt/nas");
    EXPECT_EQ(Item(nas).m_children, 1);
    Tree().Expand(nas, TVE_EXPAND);
    EXPECT_EQ(m_machine.listed.back(), "/mnt/nas");
    EXPECT_EQ(Item(nas).m_children, 0);
    // A start directory on it opens as far as the mount point...
    Open("/mnt/nas/builds");
    EXPECT_EQ(Selected(), "/mnt/nas/");
    EXPECT_EQ(m_machine.probed, (Strings{"/mnt/nas"}));

    // ...and when the server does not answer at all, the mount is not even
    // listed: the dialog opens with it selected and still expandable.
    m_machine.set_unresponsive("/mnt/share");
    m_machine.listed.clear();
    Open("/mnt/share/Builds/2026");
    EXPECT_EQ(Selected(), "/mnt/share/");
    EXPECT_TRUE(OkEnabled());
    EXPECT_TRUE(m_machine.listed.empty());
    EXPECT_EQ(Item(Child(TVI_ROOT, "/mnt/share")).m_children, 1);
    EXPECT_TRUE(Expanded().empty());
    // Local drives are never probed.
    m_machine.probed.clear();
    Open("/tmp/Release");
    EXPECT_TRUE(m_machine.probed.empty());
}

TEST_F(PickerTest, OkReturnsTheSelectedFolderAndCancelLeavesTheCallerAlone) {
    std::string releaseDir = "/tmp/Release/v1";
    {
        CDlgGetPath dlg(nullptr, &m_machine);
        dlg.SetPath(releaseDir);
        QTimer::singleShot(0, &dlg,
                           [&dlg] { static_cast<QPushButton*>(dlg.GetDlgItem(IDOK))->click(); });
        ASSERT_EQ(dlg.DoModal(), IDOK);
        releaseDir = dlg.GetPath();
        EXPECT_EQ(dlg.m_tree.GetCount(), 0) << "the tree is emptied when the window goes";
    }
    EXPECT_EQ(releaseDir, "/tmp/Release/v1/");

    {
        CDlgGetPath dlg(nullptr, &m_machine);
        dlg.SetPath(releaseDir);
        AnswerNextModal();
        ASSERT_EQ(dlg.DoModal(), IDCANCEL);
    }
    EXPECT_EQ(releaseDir, "/tmp/Release/v1/");

    // Enter while OK is disabled does not end the dialog with IDOK.
    {
        CDlgGetPath dlg(nullptr, &m_machine);
        dlg.SetPath("");
        bool stillOpen = false;
        QTimer::singleShot(0, &dlg, [&dlg, &stillOpen] {
            QTest::keyClick(&dlg, Qt::Key_Return);
            stillOpen = dlg.isVisible();
            dlg.EndDialog(IDCANCEL);
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_TRUE(stillOpen);
    }
}

TEST_F(PickerTest, FocusAloneSelectsNothingWhenTheWalkFoundNoNode) {
    CDlgGetPath dlg(nullptr, &m_machine);
    dlg.SetPath("Invalid directory");
    std::string seen;
    QTimer::singleShot(0, &dlg, [&] {
        CTreeControl* tree = dlg.m_tree.GetControl();
        // Real focus, as the window system gives it when the window shows.
        (void)QTest::qWaitForWindowActive(&dlg);
        tree->setFocus(Qt::TabFocusReason);
        EXPECT_TRUE(tree->hasFocus() && tree->currentItem()) << "focus made a node current";
        EXPECT_FALSE(dlg.GetDlgItem(IDOK)->isEnabled());
        seen = dlg.GetDlgItemText(IDC_PATH_TEXT);
        QTest::keyClick(tree, Qt::Key_Return);
        EXPECT_TRUE(dlg.isVisible()) << "Enter with nothing selected returns nothing";
        // The arrow keys select, and the selection is the current node.
        QTest::keyClick(tree, Qt::Key_Down);
        EXPECT_EQ(tree->currentItem(), dlg.m_tree.GetSelectedItem());
        seen += " " + dlg.GetDlgItemText(IDC_PATH_TEXT);
        dlg.EndDialog(IDCANCEL);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(seen, "<dir> /home/op/build/") << "Down from the first node, /";
}

TEST_F(PickerTest, ASelectionMadeThroughAccessibilityIsWhatOkReturns) {
    CDlgGetPath& dlg = Open("/tmp/Release/v1");
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    CTreeControl* tree = Tree().GetControl();
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(tree);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->text(QAccessible::Name), QStringLiteral("Folders"));
    ASSERT_NE(iface->tableInterface(), nullptr);
    HTREEITEM tmp = Tree().GetParentItem(Tree().GetParentItem(Tree().GetSelectedItem()));

    // An assistive tool toggles a row's cell, which selects it without
    // touching the current item.
    QAccessibleTableInterface* table = iface->tableInterface();
    QAccessibleInterface* sub = nullptr;
    for (int row = 0; row < table->rowCount() && !sub; ++row) {
        QAccessibleInterface* cell = table->cellAt(row, 0);
        if (cell && cell->text(QAccessible::Name) == QStringLiteral("Sub")) sub = cell;
    }
    ASSERT_NE(sub, nullptr);
    ASSERT_NE(sub->actionInterface(), nullptr);
    sub->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(Selected(), "/tmp/Sub/");
    EXPECT_EQ(tree->currentItem(), Child(tmp, "Sub"));
    EXPECT_EQ(PathText(), "/tmp/Sub/");
    EXPECT_TRUE(OkEnabled());

    // The same through the selection model alone.
    HTREEITEM empty = Tree().GetChildItem(tmp);
    while (empty && Tree().GetItemName(empty) != "empty")
        empty = Tree().GetNextSiblingItem(empty);
    ASSERT_NE(empty, nullptr);
    tree->selectionModel()->select(tree->indexFromItem(empty), QItemSelectionModel::ClearAndSelect);
    EXPECT_EQ(tree->currentItem(), empty);
    EXPECT_EQ(PathText(), "/tmp/empty/");
    static_cast<QPushButton*>(dlg.GetDlgItem(IDOK))->click();
    EXPECT_EQ(dlg.GetPath(), "/tmp/empty/");
}

TEST_F(PickerTest, TheSelectedNodeIsScrolledFullyIntoViewAfterTheWalk) {
    for (int i = 0; i < 40; ++i)
        fs::create_directories(
            m_root / "tmp/many" /
            ("a-folder-with-a-name-long-enough-to-need-the-horizontal-scroll-bar-" +
             std::to_string(i)));
    CDlgGetPath& dlg =
        Open("/tmp/many/a-folder-with-a-name-long-enough-to-need-the-horizontal-scroll-bar-31");
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    CTreeControl* tree = Tree().GetControl();
    HTREEITEM selected = Tree().GetSelectedItem();
    ASSERT_NE(selected, nullptr);
    EXPECT_EQ(PathText(),
              "/tmp/many/a-folder-with-a-name-long-enough-to-need-the-horizontal-scroll-bar-31/");
    // Long names make the column wider than the tree: what counts is that
    // no part of the row's height is cut off.
    const bool whole = QTest::qWaitFor(
        [&] {
            const QRect row = tree->visualItemRect(selected);
            return row.top() >= 0 && row.bottom() < tree->viewport()->height();
        },
        2000);
    EXPECT_TRUE(whole) << "row " << tree->visualItemRect(selected).top() << ".."
                       << tree->visualItemRect(selected).bottom() << " of a viewport "
                       << tree->viewport()->height() << " high";
}

TEST_F(PickerTest, TeardownFreesEveryRecordOnceCollapsedBranchesIncluded) {
    CDlgGetPath& dlg = Open("");
    for (HTREEITEM server = Tree().GetChildItem(dlg.m_hNetworkRoot); server;
         server = Tree().GetNextSiblingItem(server))
        Tree().Expand(server, TVE_EXPAND);
    Tree().Expand(dlg.m_hNetworkRoot, TVE_COLLAPSE);
    EXPECT_EQ(NetResourceRecord::LiveCount(), m_liveRecords + 2);
    const std::string selected = Selected();
    dlg.EndDialog(IDCANCEL);
    EXPECT_EQ(NetResourceRecord::LiveCount(), m_liveRecords);
    EXPECT_EQ(Tree().GetCount(), 0);
    EXPECT_EQ(dlg.m_hNetworkRoot, nullptr);
    EXPECT_EQ(dlg.GetPath(), selected) << "the selected node's path is taken first";
    EXPECT_TRUE(dlg.DestroyWindow()) << "a second teardown does nothing";

    // Nothing selected: the start directory stays.
    Open("Invalid directory");
    m_dialog->EndDialog(IDCANCEL);
    EXPECT_EQ(m_dialog->GetPath(), "Invalid directory");

    // A picker dropped while open still frees what it holds (checked in TearDown).
    Open("");
    Tree().Expand(Child(m_dialog->m_hNetworkRoot, "Nas01"), TVE_EXPAND);
}

namespace {

// A network that the mount table cannot describe: domains, servers named only
// by a comment, shares named by their full remote name.
class NetworkMachine : public platform::FakeFileSystems {
public:
    std::vector<platform::NetResource> network_entries(
        const platform::NetResource* container) override {
        ++network_calls;
        auto entry = [](uint32_t type, const char* remote, const char* comment, const char* local) {
            platform::NetResource r;
            r.display_type = type;
            if (remote) r.remote_name = remote;
            if (comment) r.comment = comment;
            if (local) r.local_name = local;
            return r;
        };
        if (!container)
            return {entry(platform::display_type_domain, "LAB", nullptr, nullptr),
                    entry(platform::display_type_server, nullptr, "///ghost", nullptr),
                    entry(platform::display_type_server, "", "", nullptr)};
        if (container->remote_name == "LAB")
            return {entry(platform::display_type_server, "//SRV", nullptr, nullptr)};
        if (container->remote_name == "//SRV")
            return {entry(platform::display_type_share, "//SRV/Data", nullptr, "/mnt/data"),
                    entry(platform::display_type_share, "//SRV/Bare", nullptr, nullptr)};
        return {};
    }
};

}  // namespace

TEST(PickerNetwork, EntriesAreNamedByRemoteNameOrCommentAndImagedByDisplayType) {
    NetworkMachine machine;
    machine.set_mount_table("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n");
    const int records = NetResourceRecord::LiveCount();
    {
        CDlgGetPath dlg(nullptr, &machine);
        dlg.SetPath("");
        ASSERT_TRUE(dlg.Create());
        CTreeCtrl& tree = dlg.m_tree;
        std::vector<std::string> texts;
        for (HTREEITEM n = tree.GetChildItem(dlg.m_hNetworkRoot); n; n = tree.GetNextSiblingItem(n))
            texts.push_back(tree.GetItemText(n));
        // Sorted: the nameless server first, then "/ghost" (two separators go, not three).
        EXPECT_EQ(texts, (std::vector<std::string>{"", "/ghost", "Lab"}));
        HTREEITEM lab =
            tree.GetNextSiblingItem(tree.GetNextSiblingItem(tree.GetChildItem(dlg.m_hNetworkRoot)));
        TreeItem item;
        item.m_mask = TVIF_HANDLE | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
        item.m_hItem = lab;
        tree.GetItem(item);
        EXPECT_EQ(item.m_image, 8);
        EXPECT_EQ(item.m_selectedImage, 8);
        EXPECT_EQ(NetResourceRecord::LiveCount(), records + 3);

        tree.Expand(lab, TVE_EXPAND);
        HTREEITEM srv = tree.GetChildItem(lab);
        ASSERT_NE(srv, nullptr);
        EXPECT_EQ(tree.GetItemText(srv), "Srv");
        EXPECT_EQ(dlg.GetNodePath(srv), "//SRV/");
        tree.Expand(srv, TVE_EXPAND);
        HTREEITEM bare = tree.GetChildItem(srv);
        HTREEITEM data = tree.GetNextSiblingItem(bare);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(tree.GetItemText(bare), "Bare");
        EXPECT_EQ(tree.GetItemText(data), "Data");
        // A share is its mount point; without one, the remote name composes.
        EXPECT_EQ(dlg.GetNodePath(data), "/mnt/data/");
        EXPECT_EQ(dlg.GetNodePath(bare), "//SRV/Bare/");
        EXPECT_EQ(tree.GetItemData(data), 0u);
        EXPECT_EQ(NetResourceRecord::LiveCount(), records + 4);
    }
    EXPECT_EQ(NetResourceRecord::LiveCount(), records);
}

TEST(PickerOnThisMachine, OpensAtARealFolderAndReturnsIt) {
    std::string pattern = (fs::temp_directory_path() / "picker-real-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string root = fs::canonical(pattern).string();
    fs::create_directories(root + "/a/B C/d");
    {
        CDlgGetPath dlg;
        dlg.SetPath(root + "/a/B C/d");
        ASSERT_TRUE(dlg.Create());
        EXPECT_EQ(dlg.GetDlgItemText(IDC_PATH_TEXT), root + "/a/B C/d/");
        dlg.EndDialog(IDOK);
        EXPECT_EQ(dlg.GetPath(), root + "/a/B C/d/");
    }
    fs::remove_all(root);
}
