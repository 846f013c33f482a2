#include "dlg_get_path.h"

#include <QItemSelectionModel>
#include <QLoggingCategory>
#include <QSignalBlocker>
#include <QString>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <vector>

#include "file_systems.h"
#include "mount_table.h"
#include "resource.h"
#include "tree_model.h"

namespace {

// Listing failures are not shown to the operator (the node just has no
// children); the reason goes to the diagnostic log when it is enabled
// (QT_LOGGING_RULES="fw.picker.info=true").
Q_LOGGING_CATEGORY(lcPicker, "fw.picker", QtWarningMsg)

const char* const kNetworkRootText = "Network Neighborhood";

// How long opening waits for a network mount on the way to the start
// directory before leaving it closed.
constexpr std::chrono::milliseconds kRemoteProbeLimit{1500};

// Shows the wait cursor from construction to destruction, whichever way the
// handler leaves.
class WaitCursor {
public:
    explicit WaitCursor(CDialog* dialog) : m_dialog(dialog) { m_dialog->BeginWaitCursor(); }
    ~WaitCursor() { m_dialog->EndWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    CDialog* m_dialog;
};

NetResourceRecord* RecordOf(DWORD_PTR data) {
    return reinterpret_cast<NetResourceRecord*>(data);
}

bool IsAbsolute(const std::string& name) {
    return !name.empty() && name.front() == kPathSeparator;
}

// The non-empty components of a path, in order.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::string component;
    for (int i = 0; GetPathComponent(path, i, component); ++i) {
        if (!component.empty()) parts.push_back(component);
    }
    return parts;
}

// The leading separators of a network name go: at most two, as in "//srv".
std::string WithoutLeadingSeparators(std::string name) {
    for (int i = 0; i < 2 && !name.empty() && name.front() == kPathSeparator; ++i)
        name.erase(0, 1);
    return name;
}

}  // namespace

CDlgGetPath::CDlgGetPath(QWidget* parent, platform::FileSystems* fileSystems)
    : CDialog(IDD_GETPATH, parent),
      m_fileSystems(fileSystems ? fileSystems : &platform::local_file_systems()) {}

CDlgGetPath::~CDlgGetPath() {
    // A window that was built but never ended still owns its records; after
    // the teardown the tree is empty and this finds nothing.
    DeleteAllNodes();
}

MessageMap CDlgGetPath::GetMessageMap() const {
    static const MessageMapEntry entries[] = {
        OnNotify(TVN_SELCHANGED, IDC_TREE, &CDlgGetPath::OnSelChangedTree),
        OnNotify(TVN_ITEMEXPANDING, IDC_TREE, &CDlgGetPath::OnItemExpandingTree),
    };
    return entries;
}

void CDlgGetPath::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_TREE, m_tree);
}

bool CDlgGetPath::OnInitDialog() {
    CDialog::OnInitDialog();
    // The tree has no label in the template; the path line above it names
    // the selection, not the tree.
    SetControlName(IDC_TREE, QStringLiteral("Folders"));
    m_imageList.Create(IDB_TREEIMAGES, 17, 0xFFFFFF);
    m_tree.SetImageList(&m_imageList, TVSIL_NORMAL);
    BuildTopLevel();
    WalkStartDirectory();
    return true;
}

void CDlgGetPath::done(int result) {
    CDialog::done(result);
    DestroyWindow();
}

bool CDlgGetPath::DestroyWindow() {
    if (m_destroyed) return true;
    // With nothing selected (only after a start directory that matched
    // nothing) the start directory stays.
    if (HTREEITEM selected = m_tree.GetSelectedItem()) m_path = GetNodePath(selected);
    DeleteAllNodes();
    m_destroyed = true;
    return true;
}

// ---- the tree model -----------------------------------------------------------

void CDlgGetPath::BuildTopLevel() {
    // The mount table alone: no mounted file system is asked anything here.
    for (const platform::Drive& drive : m_fileSystems->drives()) {
        const int type = static_cast<int>(drive.type);
        if (type >= static_cast<int>(platform::DriveType::removable) &&
            type <= static_cast<int>(platform::DriveType::ram))
            InsertNode(TVI_ROOT, nullptr, drive.mount_point, type, -1);
    }
    m_hNetworkRoot = InsertNode(TVI_ROOT, nullptr, kNetworkRootText, kImageNetwork, -1);
}

HTREEITEM CDlgGetPath::InsertNode(HTREEITEM parent, NetResourceRecord* record, std::string text,
                                  int imageIndex, int selectedImage, std::string name) {
    TreeInsert insert;
    insert.m_hParent = parent;
    insert.m_hInsertAfter = TVI_SORT;
    insert.m_item.m_mask =
        TVIF_TEXT | TVIF_IMAGE | TVIF_PARAM | TVIF_SELECTEDIMAGE | TVIF_CHILDREN | TVIF_NAME;
    insert.m_item.m_name = name.empty() ? text : std::move(name);
    insert.m_item.m_text = FormatNodeName(std::move(text));
    insert.m_item.m_image = imageIndex;
    insert.m_item.m_selectedImage = selectedImage == -1 ? imageIndex : selectedImage;
    insert.m_item.m_param = reinterpret_cast<DWORD_PTR>(record);
    insert.m_item.m_children = 1;
    return m_tree.InsertItem(insert);
}

std::string CDlgGetPath::GetNodePath(HTREEITEM node) const {
    // From the node up; joined the other way round at the end.
    std::vector<std::string> names;
    for (; node; node = m_tree.GetParentItem(node)) {
        if (const NetResourceRecord* record = RecordOf(m_tree.GetItemData(node))) {
            const char* remote = record->m_remoteName.get();
            names.emplace_back(remote ? remote : "");
            break;
        }
        names.push_back(m_tree.GetItemName(node));
        if (IsAbsolute(names.back())) break;
    }
    std::string result;
    // From the top of the tree down: the names were collected upwards.
    for (std::size_t i = names.size(); i-- > 0;) {
        const std::string& name = names[i];
        result += name;
        // A mount point is a whole path: the root "/" must not be doubled.
        if (name.empty() || name.back() != kPathSeparator) result += kPathSeparator;
    }
    return result;
}

bool CDlgGetPath::PopulateNode(const std::string& path, HTREEITEM node) {
    bool added = false;
    if (node == m_hNetworkRoot || m_tree.GetItemData(node) != 0) {
        added = EnumerateNetwork(node);
    } else {
        std::vector<std::string> names;
        const platform::Status status = m_fileSystems->list_folders(path, names);
        if (!status.ok()) qCInfo(lcPicker, "%s", status.message.c_str());
        for (std::string& name : names) {
            InsertNode(node, nullptr, std::move(name), kImageClosedFolder, kImageOpenFolder);
            added = true;
        }
    }
    if (!added) {
        TreeItem item;
        item.m_mask = TVIF_HANDLE | TVIF_CHILDREN;
        item.m_hItem = node;
        item.m_children = 0;
        m_tree.SetItem(item);
    }
    return added;
}

bool CDlgGetPath::EnumerateNetwork(HTREEITEM node) {
    const NetResourceRecord* record = RecordOf(m_tree.GetItemData(node));
    platform::NetResource container;
    if (record) container = ToNetResource(*record);
    const std::vector<platform::NetResource> entries =
        m_fileSystems->network_entries(record ? &container : nullptr);
    for (const platform::NetResource& entry : entries) {
        std::string name = entry.remote_name.value_or("");
        if (name.empty()) name = entry.comment.value_or("");
        name = WithoutLeadingSeparators(std::move(name));
        if (entry.display_type == platform::display_type_share) {
            const size_t separator = name.find(kPathSeparator);
            if (separator != std::string::npos) name.erase(0, separator + 1);
            // A share leads to where it is mounted, so its path exists here.
            InsertNode(node, nullptr, name, kImageClosedFolder, kImageOpenFolder,
                       entry.local_name.value_or(""));
        } else {
            const int image = kImageNetwork + static_cast<int>(entry.display_type);
            InsertNode(node, MakeNetResourceRecord(entry).release(), name, image, -1);
        }
    }
    return !entries.empty();
}

void CDlgGetPath::DeleteAllNodes() {
    CTreeControl* control = m_tree.GetControl();
    if (!control) return;
    // The window is going: selection changes on the way are nobody's news.
    const QSignalBlocker quiet(control);
    const QSignalBlocker quietSelection(control->selectionModel());
    HTREEITEM node = m_tree.GetRootItem();
    while (node) {
        while (HTREEITEM child = m_tree.GetChildItem(node))
            node = child;
        HTREEITEM next = m_tree.GetNextSiblingItem(node);
        HTREEITEM previous = m_tree.GetPrevSiblingItem(node);
        HTREEITEM parent = m_tree.GetParentItem(node);
        delete RecordOf(m_tree.GetItemData(node));
        m_tree.DeleteItem(node);
        node = next ? next : previous ? previous : parent;
    }
    m_hNetworkRoot = nullptr;
}

// ---- the dialog ---------------------------------------------------------------

HTREEITEM CDlgGetPath::FindChild(HTREEITEM parent, const std::string& name) const {
    HTREEITEM byText = nullptr;
    const QString wanted = QString::fromUtf8(name);
    for (HTREEITEM child = m_tree.GetChildItem(parent); child;
         child = m_tree.GetNextSiblingItem(child)) {
        if (m_tree.GetItemName(child) == name) return child;
        if (!byText &&
            QString::fromUtf8(m_tree.GetItemText(child)).compare(wanted, Qt::CaseInsensitive) == 0)
            byText = child;
    }
    return byText;
}

void CDlgGetPath::WalkStartDirectory() {
    if (m_path.empty()) {
        m_tree.Expand(m_hNetworkRoot, TVE_EXPAND);
        return;
    }
    const std::vector<std::string> parts = Components(m_path);
    HTREEITEM parent = TVI_ROOT;
    size_t next = 0;
    if (IsAbsolute(m_path)) {
        // The drive whose mount point is the longest leading part of the path.
        size_t longest = 0;
        HTREEITEM drive = nullptr;
        for (HTREEITEM top = m_tree.GetRootItem(); top; top = m_tree.GetNextSiblingItem(top)) {
            const std::string mountPoint = m_tree.GetItemName(top);
            if (!IsAbsolute(mountPoint)) continue;
            const std::vector<std::string> mountParts = Components(mountPoint);
            const bool prefix = mountParts.size() <= parts.size() &&
                                std::equal(mountParts.begin(), mountParts.end(), parts.begin());
            if (prefix && (!drive || mountParts.size() > longest)) {
                drive = top;
                longest = mountParts.size();
            }
        }
        if (!drive) return;
        // A network mount whose server is gone would hold the dialog before it
        // shows: it is listed only if it answers soon, else the walk ends on it.
        TreeItem item;
        item.m_mask = TVIF_HANDLE | TVIF_IMAGE;
        item.m_hItem = drive;
        m_tree.GetItem(item);
        if (item.m_image == static_cast<int>(platform::DriveType::remote) &&
            !m_fileSystems->responds(m_tree.GetItemName(drive), kRemoteProbeLimit)) {
            qCInfo(lcPicker, "%s does not answer: not opened", m_tree.GetItemName(drive).c_str());
            m_tree.SelectItem(drive);
            return;
        }
        m_tree.Expand(drive, TVE_EXPAND);
        parent = drive;
        next = longest;
    }
    // One component at a time; one that matches nothing is skipped and the
    // next is looked for among the same children.
    for (; next < parts.size(); ++next) {
        if (HTREEITEM child = FindChild(parent, parts[next])) {
            m_tree.Expand(child, TVE_EXPAND);
            parent = child;
        }
    }
}

void CDlgGetPath::OnItemExpandingTree(NotifyHeader* pNMHDR, LRESULT* pResult) {
    const WaitCursor wait(this);
    auto* notify = static_cast<TreeNotify*>(pNMHDR);
    if (notify->m_action == TVE_EXPAND) {
        HTREEITEM node = notify->m_itemNew.m_hItem;
        const std::string path = GetNodePath(node);
        // Listed once: a node that has children keeps them as first listed.
        if (!m_tree.GetChildItem(node)) {
            PopulateNode(path, node);
            if (m_tree.GetSelectedItem() != node) m_tree.SelectItem(node);
        }
    }
    *pResult = 0;
}

void CDlgGetPath::OnSelChangedTree(NotifyHeader* pNMHDR, LRESULT* pResult) {
    auto* notify = static_cast<TreeNotify*>(pNMHDR);
    HTREEITEM node = notify->m_itemNew.m_hItem;
    std::string text;
    const bool choosable = node && node != m_hNetworkRoot && m_tree.GetItemData(node) == 0;
    if (QWidget* ok = GetDlgItem(IDOK)) ok->setEnabled(choosable);
    if (choosable) text = GetNodePath(node);
    *pResult = 0;
    SetDlgItemText(IDC_PATH_TEXT, text);
}
