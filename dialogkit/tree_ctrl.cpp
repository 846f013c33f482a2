#include "tree_ctrl.h"

#include <QByteArray>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidgetItem>
#include <algorithm>

#include "image_list.h"

namespace {

constexpr int kImageRole = Qt::UserRole;
constexpr int kSelectedImageRole = Qt::UserRole + 1;
constexpr int kParamRole = Qt::UserRole + 2;
constexpr int kNameRole = Qt::UserRole + 3;

QString DisplayText(const QTreeWidgetItem* node) {
    return node->data(0, Qt::DisplayRole).toString();
}

void SetChildFlag(QTreeWidgetItem* node, int children) {
    // With the flag off, a node still shows its button once it has children.
    node->setChildIndicatorPolicy(children ? QTreeWidgetItem::ShowIndicator
                                           : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

}  // namespace

CTreeControl::CTreeControl(uint32_t style, QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(style & TVS_LINESATROOT);
    m_infoTips = style & TVS_INFOTIP;
    setSelectionMode(QAbstractItemView::SingleSelection);
    // One column, so a row and its item are the same thing; but a selection
    // by rows is carried out through the row number among the parent's
    // children, which the accessibility layer then reads as a row of the
    // whole tree and so selects another node.
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setUniformRowHeights(true);
    setDragEnabled(false);
    setExpandsOnDoubleClick(true);
    // Long names scroll sideways instead of being cut short. The column is
    // fitted once per batch of changes (Qt's own resize-to-contents mode
    // measures every row again on each insertion and deletion).
    header()->setStretchLastSection(false);

    // The window system asks before a node expands or collapses; Qt reports
    // it after the node already has. So a handler's refusal is carried out by
    // putting the node back, with signals blocked so that putting it back is
    // not reported as a change of its own.
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* node) {
        if (Notify(TVN_ITEMEXPANDING, TVE_EXPAND, nullptr, node) != 0) {
            const QSignalBlocker quiet(this);
            node->setExpanded(false);
        }
    });
    connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* node) {
        if (Notify(TVN_ITEMEXPANDING, TVE_COLLAPSE, nullptr, node) != 0) {
            const QSignalBlocker quiet(this);
            node->setExpanded(true);
        }
    });
    connect(this, &QTreeWidget::expanded, this, [this] { ScheduleColumnFit(); });
    connect(this, &QTreeWidget::collapsed, this, [this] { ScheduleColumnFit(); });
    // The selection is what the dialog hears of, whoever made it (mouse,
    // keyboard, or an assistive tool through the accessibility interface,
    // which selects without moving the current item). Focus alone only
    // makes a node current, and selects nothing.
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection&, const QItemSelection& deselected) {
                HTREEITEM selected = SelectedItem();
                // The current item follows the selection, so that the
                // keyboard goes on from the node that was chosen.
                if (selected && currentItem() != selected)
                    setCurrentItem(selected, 0, QItemSelectionModel::NoUpdate);
                HTREEITEM previous =
                    deselected.isEmpty() ? nullptr : itemFromIndex(deselected.indexes().value(0));
                if (previous != selected) Notify(TVN_SELCHANGED, 0, previous, selected);
            });
}

HTREEITEM CTreeControl::SelectedItem() const {
    QTreeWidgetItem* current = currentItem();
    if (current && current->isSelected()) return current;
    const QList<QTreeWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? nullptr : selected.front();
}

QItemSelectionModel::SelectionFlags CTreeControl::selectionCommand(const QModelIndex& index,
                                                                   const QEvent* event) const {
    // The window system's tree cannot unselect its node: Ctrl+click keeps it.
    const QItemSelectionModel::SelectionFlags flags = QTreeWidget::selectionCommand(index, event);
    return (flags & QItemSelectionModel::Deselect) ? QItemSelectionModel::NoUpdate : flags;
}

QTreeWidgetItem* CTreeControl::Parent(HTREEITEM item) const {
    return (item == TVI_ROOT || item == nullptr) ? invisibleRootItem() : item;
}

HTREEITEM CTreeControl::InsertItem(const TreeInsert& insert) {
    QTreeWidgetItem* parent = Parent(insert.m_hParent);
    const TreeItem& source = insert.m_item;
    auto* node = new QTreeWidgetItem();
    const QString text = QString::fromUtf8(source.m_text);
    node->setData(0, Qt::DisplayRole, text);
    node->setData(0, kImageRole, (source.m_mask & TVIF_IMAGE) ? source.m_image : 0);
    node->setData(0, kSelectedImageRole,
                  (source.m_mask & TVIF_SELECTEDIMAGE) ? source.m_selectedImage : 0);
    node->setData(
        0, kParamRole,
        QVariant::fromValue<qulonglong>((source.m_mask & TVIF_PARAM) ? source.m_param : 0));
    node->setData(
        0, kNameRole,
        QByteArray::fromStdString((source.m_mask & TVIF_NAME) ? source.m_name : source.m_text));
    SetChildFlag(node, (source.m_mask & TVIF_CHILDREN) ? source.m_children : 0);
    ApplyIcon(node);

    int index = parent->childCount();
    if (insert.m_hInsertAfter == TVI_FIRST) {
        index = 0;
    } else if (insert.m_hInsertAfter == TVI_SORT) {
        // After the last sibling that does not sort behind the new text.
        int low = 0;
        int high = parent->childCount();
        while (low < high) {
            const int mid = (low + high) / 2;
            if (QString::compare(DisplayText(parent->child(mid)), text, Qt::CaseInsensitive) <= 0)
                low = mid + 1;
            else
                high = mid;
        }
        index = low;
    } else if (insert.m_hInsertAfter != TVI_LAST && insert.m_hInsertAfter) {
        const int after = parent->indexOfChild(insert.m_hInsertAfter);
        if (after >= 0) index = after + 1;
    }
    parent->insertChild(index, node);
    ScheduleColumnFit();
    return node;
}

HTREEITEM CTreeControl::GetNextItem(HTREEITEM item, unsigned code) const {
    switch (code) {
        case TVGN_ROOT:
            return topLevelItemCount() > 0 ? topLevelItem(0) : nullptr;
        case TVGN_CARET:
            return SelectedItem();
        case TVGN_CHILD: {
            QTreeWidgetItem* parent = Parent(item);
            return parent->childCount() > 0 ? parent->child(0) : nullptr;
        }
        default:
            break;
    }
    if (!item || item == TVI_ROOT) return nullptr;
    QTreeWidgetItem* parent = Parent(item->parent());
    const int index = parent->indexOfChild(item);
    switch (code) {
        case TVGN_NEXT:
            return index + 1 < parent->childCount() ? parent->child(index + 1) : nullptr;
        case TVGN_PREVIOUS:
            return index > 0 ? parent->child(index - 1) : nullptr;
        case TVGN_PARENT:
            return item->parent();
        default:
            return nullptr;
    }
}

bool CTreeControl::GetItem(TreeItem& item) const {
    QTreeWidgetItem* node = item.m_hItem;
    if (!node || node == TVI_ROOT) return false;
    if (item.m_mask & TVIF_TEXT) item.m_text = DisplayText(node).toStdString();
    if (item.m_mask & TVIF_IMAGE) item.m_image = node->data(0, kImageRole).toInt();
    if (item.m_mask & TVIF_SELECTEDIMAGE)
        item.m_selectedImage = node->data(0, kSelectedImageRole).toInt();
    if (item.m_mask & TVIF_PARAM)
        item.m_param = static_cast<DWORD_PTR>(node->data(0, kParamRole).toULongLong());
    if (item.m_mask & TVIF_CHILDREN)
        item.m_children = node->childIndicatorPolicy() == QTreeWidgetItem::ShowIndicator ||
                          node->childCount() > 0;
    if (item.m_mask & TVIF_NAME) item.m_name = node->data(0, kNameRole).toByteArray().toStdString();
    return true;
}

bool CTreeControl::SetItem(const TreeItem& item) {
    QTreeWidgetItem* node = item.m_hItem;
    if (!node || node == TVI_ROOT) return false;
    if (item.m_mask & TVIF_TEXT) node->setData(0, Qt::DisplayRole, QString::fromUtf8(item.m_text));
    if (item.m_mask & TVIF_IMAGE) node->setData(0, kImageRole, item.m_image);
    if (item.m_mask & TVIF_SELECTEDIMAGE)
        node->setData(0, kSelectedImageRole, item.m_selectedImage);
    if (item.m_mask & TVIF_PARAM)
        node->setData(0, kParamRole, QVariant::fromValue<qulonglong>(item.m_param));
    if (item.m_mask & TVIF_CHILDREN) SetChildFlag(node, item.m_children);
    if (item.m_mask & TVIF_NAME)
        node->setData(0, kNameRole, QByteArray::fromStdString(item.m_name));
    if (item.m_mask & (TVIF_IMAGE | TVIF_SELECTEDIMAGE)) ApplyIcon(node);
    ScheduleColumnFit();
    return true;
}

bool CTreeControl::DeleteItem(HTREEITEM item) {
    if (!item) return false;
    if (item == TVI_ROOT) {
        clear();
        return true;
    }
    delete item;
    ScheduleColumnFit();
    return true;
}

bool CTreeControl::Expand(HTREEITEM item, unsigned code) {
    if (!item || item == TVI_ROOT) return false;
    if (code == TVE_EXPAND)
        item->setExpanded(true);
    else if (code == TVE_COLLAPSE)
        item->setExpanded(false);
    else
        return false;
    return true;
}

bool CTreeControl::SelectItem(HTREEITEM item) {
    if (item == TVI_ROOT) return false;
    setCurrentItem(item);
    if (item) {
        scrollToItem(item);
        // Before the tree is shown its viewport has no final size yet, and
        // the column fit may still add a scroll bar: scrolled again then.
        m_revealPending = true;
        ScheduleColumnFit();
    }
    return true;
}

void CTreeControl::showEvent(QShowEvent* event) {
    QTreeWidget::showEvent(event);
    if (m_revealPending) ScheduleColumnFit();
}

void CTreeControl::SetImageList(const CImageList* images) {
    m_imageList = images;
    m_icons.clear();
    if (images && images->GetImageCount() > 0) {
        const QList<QSize> sizes = images->GetIcon(0).availableSizes();
        if (!sizes.isEmpty()) setIconSize(sizes.front());
    }
    QTreeWidgetItemIterator it(this);
    while (*it) {
        ApplyIcon(*it);
        ++it;
    }
    ScheduleColumnFit();
}

bool CTreeControl::viewportEvent(QEvent* event) {
    if (event->type() != QEvent::ToolTip || !m_infoTips) return QTreeWidget::viewportEvent(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    // The node's own extent: the column is as wide as the widest node.
    QRect shown = visualRect(index);
    shown.setWidth(sizeHintForIndex(index).width());
    if (index.isValid() && !viewport()->rect().contains(shown))
        QToolTip::showText(help->globalPos(), index.data(Qt::DisplayRole).toString(), viewport(),
                           shown);
    else
        QToolTip::hideText();
    return true;
}

void CTreeControl::ScheduleColumnFit() {
    if (m_fitPending) return;
    m_fitPending = true;
    QTimer::singleShot(0, this, [this] {
        m_fitPending = false;
        const auto fit = [this] {
            setColumnWidth(0, std::max(sizeHintForColumn(0), viewport()->width()));
        };
        fit();
        if (m_revealPending && isVisible()) {
            m_revealPending = false;
            // The column is fitted to the rows in view; once the selected
            // node is among them the column may widen and a horizontal scroll
            // bar take the bottom row's place: fitted and scrolled again.
            if (HTREEITEM selected = SelectedItem()) {
                scrollToItem(selected);
                fit();
                updateGeometries();
                scrollToItem(selected);
            }
        }
    });
}

int CTreeControl::GetCount() const {
    int count = 0;
    for (QTreeWidgetItemIterator it(const_cast<CTreeControl*>(this)); *it; ++it)
        ++count;
    return count;
}

void CTreeControl::ApplyIcon(QTreeWidgetItem* node) {
    if (!m_imageList) return;
    const int image = node->data(0, kImageRole).toInt();
    const int selected = node->data(0, kSelectedImageRole).toInt();
    auto cached = m_icons.find({image, selected});
    if (cached == m_icons.end()) {
        // Indices outside the list have no picture, as with the window system.
        QIcon icon;
        const QIcon normal = m_imageList->GetIcon(image);
        const QIcon chosen = m_imageList->GetIcon(selected);
        for (const QSize& size : normal.availableSizes())
            icon.addPixmap(normal.pixmap(size), QIcon::Normal);
        for (const QSize& size : chosen.availableSizes())
            icon.addPixmap(chosen.pixmap(size), QIcon::Selected);
        cached = m_icons.emplace(std::make_pair(image, selected), icon).first;
    }
    node->setIcon(0, cached->second);
}

LRESULT CTreeControl::Notify(unsigned code, unsigned action, HTREEITEM oldItem, HTREEITEM newItem) {
    auto* dialog = dynamic_cast<CDialog*>(parentWidget());
    if (!dialog) return 0;
    TreeNotify notify;
    notify.m_hwndFrom = this;
    notify.m_idFrom = CDialog::GetDlgCtrlID(this);
    notify.m_code = code;
    notify.m_action = action;
    for (auto [item, node] :
         {std::pair{&notify.m_itemOld, oldItem}, {&notify.m_itemNew, newItem}}) {
        item->m_mask = TVIF_HANDLE | TVIF_PARAM;
        item->m_hItem = node;
        item->m_param = node ? static_cast<DWORD_PTR>(node->data(0, kParamRole).toULongLong()) : 0;
    }
    return dialog->SendNotify(&notify);
}

// ---- member -------------------------------------------------------------------

HTREEITEM CTreeCtrl::InsertItem(const TreeInsert& insert) {
    return m_control ? m_control->InsertItem(insert) : nullptr;
}

HTREEITEM CTreeCtrl::GetNextItem(HTREEITEM item, unsigned code) const {
    return m_control ? m_control->GetNextItem(item, code) : nullptr;
}

bool CTreeCtrl::GetItem(TreeItem& item) const {
    return m_control && m_control->GetItem(item);
}

bool CTreeCtrl::SetItem(const TreeItem& item) {
    return m_control && m_control->SetItem(item);
}

DWORD_PTR CTreeCtrl::GetItemData(HTREEITEM item) const {
    TreeItem data;
    data.m_mask = TVIF_HANDLE | TVIF_PARAM;
    data.m_hItem = item;
    return GetItem(data) ? data.m_param : 0;
}

std::string CTreeCtrl::GetItemText(HTREEITEM item) const {
    TreeItem data;
    data.m_mask = TVIF_HANDLE | TVIF_TEXT;
    data.m_hItem = item;
    return GetItem(data) ? data.m_text : std::string();
}

std::string CTreeCtrl::GetItemName(HTREEITEM item) const {
    TreeItem data;
    data.m_mask = TVIF_HANDLE | TVIF_NAME;
    data.m_hItem = item;
    return GetItem(data) ? data.m_name : std::string();
}

bool CTreeCtrl::DeleteItem(HTREEITEM item) {
    return m_control && m_control->DeleteItem(item);
}

bool CTreeCtrl::Expand(HTREEITEM item, unsigned code) {
    return m_control && m_control->Expand(item, code);
}

bool CTreeCtrl::SelectItem(HTREEITEM item) {
    return m_control && m_control->SelectItem(item);
}

void CTreeCtrl::SetImageList(const CImageList* images, int imageListType) {
    if (m_control && imageListType == TVSIL_NORMAL) m_control->SetImageList(images);
}

int CTreeCtrl::GetCount() const {
    return m_control ? m_control->GetCount() : 0;
}

void DDX_Control(CDataExchange* pDX, int id, CTreeCtrl& control) {
    if (pDX->m_failed) return;
    auto* tree = dynamic_cast<CTreeControl*>(pDX->PrepareCtrl(id));
    if (tree && !control.GetControl()) control.Attach(tree);
}
