// The results dialog: the found items as a folder tree and a list, marked with check boxes, with
// their totals, preview, find, and the way to save them.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTreeView>

#include <optional>

#include "apps/carver/kestrin.h"
#include "apps/carver/results_models.h"

namespace ov::kestrin {

class COvelinDataFoundDialog final : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* kHelpTopic = "::/ovfrrestoredata.htm";
  static constexpr const char* kHintText = "Check the files/folders that you want\nto recover and click \"Save\" button";
  static constexpr const char* kEmptyListText = "No item(s) to display.";

  // `showHint`: the hint about marking and saving comes up once the dialog is shown.
  COvelinDataFoundDialog(CarverSession& session, bool showHint, QWidget* parent = nullptr);

  // What the saving options delivered (after the dialog ended with PageSave).
  SaveSettings takeSaveSettings() { return std::move(settings_); }
  // With them, when the marked items are to be burned: the writer or image, and the cache.
  std::optional<BurnSettings> takeBurnSettings() { return std::move(burn_); }

  QTreeView* treeView() const { return tree_; }
  QTreeView* listView() const { return list_; }
  ResultFolderModel& folderModel() { return folders_; }
  ResultListModel& listModel() { return items_; }
  QPushButton* saveButton() const { return save_; }
  QPushButton* backButton() const { return back_; }
  QPushButton* exitButton() const { return exit_; }
  QPushButton* findButton() const { return find_; }
  QPushButton* findNextButton() const { return findNext_; }
  // The six status lines: total files, folders, data, then the selected ones.
  QStringList totalsTexts() const;
  bool previewOpen() const { return !preview_.isNull(); }
  QWidget* previewWindow() const { return preview_; }

  // Shows a folder's items in the list, with the folder selected and expanded in the tree.
  void showFolder(const ResultNode* folder);
  // Opens the picture window or the text view of an item.
  void preview(const ResultNode* item);
  // "Find (Ctrl + F)" and "Find Next (F3)".
  void openFind();
  void findNext();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void marksChanged();
  void showMatch(const ResultNode* match);
  void notFound();
  void contextMenu(const QPoint& pos);
  void listActivated(const QModelIndex& index);
  void goSave();

  CarverSession& session_;
  ResultFolderModel folders_;
  ResultListModel items_;
  QTreeView* tree_;
  QTreeView* list_;
  QLabel* totals_[3];
  QLabel* selected_[3];
  QPushButton* save_;
  QPushButton* back_;
  QPushButton* exit_;
  QPushButton* find_;
  QPushButton* findNext_;
  QPointer<QWidget> preview_;
  SaveSettings settings_;
  std::optional<BurnSettings> burn_;
  bool showHint_;
  bool shown_ = false;
};

}  // namespace ov::kestrin
