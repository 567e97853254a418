// The results page's model: grouping by normalised extension, the category tree from the
// file-type options, row texts and icons, sorting and pages.

#include "app/result_collection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace norvale {
namespace {

RecoveredItem Item(const std::string& name, uint64_t size = 100, uint64_t modified = 0,
                   bool valid = true, bool folder = false) {
    RecoveredItem it{};
    std::strncpy(it.name, name.c_str(), sizeof(it.name) - 1);
    it.fileSize = size;
    it.modifiedTime = modified;
    it.contentValid = valid ? 1 : 0;
    it.isFolder = folder ? 1 : 0;
    return it;
}

std::vector<std::string> Names(const std::vector<ItemIndex>& rows,
                               const std::vector<RecoveredItem>& items) {
    std::vector<std::string> out;
    for (ItemIndex i : rows) out.emplace_back(items[i].Name());
    return out;
}

const std::vector<FileTypeOption> kOptions = {
    {"OptJpgFile", "FileTypePhoto", "JPG (*.jpg;*.jpeg)", "jpg|jpeg"},
    {"OptPngFile", "FileTypePhoto", "PNG (*.png)", "png"},
    {"OptMp3File", "FileTypeAudio", "MP3 (*.mp3)", "mp3"},
    {"OptDocFile", "FileTypeOffice", "Word (*.doc;*.docx)", "doc|docx"},
    {"OptZipFile", "FileTypeZip", "ZIP (*.zip)", "zip"},
    {"OptOtherFileItem", "FileTypeOther", "Other files", ""},
};
const std::string kBase[6] = {"Photo", "Audio", "Video", "Document", "Archive", "Other"};

TEST(ResultCollection, ExtensionsAreLowerCasedFoldedAndUnknownWithoutOne) {
    EXPECT_EQ(ExtensionKeyOf("IMG_0001.JPEG"), "jpg");
    EXPECT_EQ(ExtensionKeyOf("scan.TIFF"), "tif");
    EXPECT_EQ(ExtensionKeyOf("letter.docx"), "doc");
    EXPECT_EQ(ExtensionKeyOf("page.htm"), "html");
    EXPECT_EQ(ExtensionKeyOf("song.midi"), "mid");
    EXPECT_EQ(ExtensionKeyOf("archive.tar.gz"), "gz");
    EXPECT_EQ(ExtensionKeyOf("README"), kNoExtensionKey);
    EXPECT_EQ(ExtensionKeyOf("trailing."), kNoExtensionKey);

    const std::vector<RecoveredItem> items = {Item("a.jpg"), Item("b.JPEG"), Item("c.png"),
                                              Item("NOTES")};
    const ExtensionGroups groups = GroupByExtension(items);
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups.at("jpg"), (std::vector<ItemIndex>{0, 1}));  // one node for both
    EXPECT_EQ(groups.at("unknow"), (std::vector<ItemIndex>{3}));
}

TEST(ResultCollection, TreePutsGroupsUnderTheirOptionsNodeAndDropsUnnamedOnesUnlessAsked) {
    const std::vector<RecoveredItem> items = {Item("a.jpg"),  Item("b.jpeg"), Item("c.mp3"),
                                              Item("d.docx"), Item("e.xyz"),  Item("f")};
    const ExtensionGroups groups = GroupByExtension(items);

    CategoryTree tree = BuildCategoryTree(groups, kOptions, false, kBase);
    EXPECT_EQ(tree.nodes[0].text, "Photo (2)");
    ASSERT_EQ(tree.nodes[0].children.size(), 1u);
    EXPECT_EQ(tree.nodes[0].children[0].text, "JPG (2)");
    EXPECT_EQ(tree.nodes[1].text, "Audio (1)");
    EXPECT_EQ(tree.nodes[3].children[0].text, "Word (1)");
    EXPECT_EQ(tree.nodes[5].text, "Other (0)");  // ".xyz" and no extension left out
    EXPECT_EQ(tree.unknownNode, -1);

    tree = BuildCategoryTree(groups, kOptions, true, kBase);
    ASSERT_EQ(tree.nodes[5].children.size(), 2u);
    EXPECT_EQ(tree.nodes[5].children[0].text, "UNKNOW Files (1)");
    EXPECT_EQ(tree.nodes[5].children[1].text, "XYZ Files (1)");
    EXPECT_EQ(tree.nodes[5].text, "Other (2)");
    EXPECT_EQ(tree.unknownNode, 5);
    EXPECT_EQ(tree.unknownChild, 0);
    EXPECT_EQ(OptionLabel("(odd)"), "");
    EXPECT_EQ(OptionLabel("Plain"), "Plain");
}

// A kind the carver learnt later, with no option of its own, is searched with its category
// and shown under it, whether "all other file types" is chosen or not.
TEST(ResultCollection, KindsNoOptionNamesGoWithTheirCategory) {
    const std::vector<std::string> photo =
        UnnamedCategoryExtensions(0, {"jpg", "jpeg", "PNG", "gif", "bmp", "tif", "tiff"});
    EXPECT_NE(std::find(photo.begin(), photo.end(), "heic"), photo.end());
    EXPECT_NE(std::find(photo.begin(), photo.end(), "webp"), photo.end());
    EXPECT_EQ(std::find(photo.begin(), photo.end(), "png"), photo.end());
    EXPECT_TRUE(UnnamedCategoryExtensions(5, {}).empty());

    const std::vector<RecoveredItem> items = {Item("a.heic"), Item("b.flac"), Item("c.avi")};
    const CategoryTree tree = BuildCategoryTree(GroupByExtension(items), kOptions, false, kBase);
    ASSERT_EQ(tree.nodes[0].children.size(), 1u);
    EXPECT_EQ(tree.nodes[0].children[0].text, "HEIC Files (1)");
    ASSERT_EQ(tree.nodes[1].children.size(), 1u);
    EXPECT_EQ(tree.nodes[1].children[0].text, "FLAC Files (1)");
    EXPECT_EQ(tree.nodes[2].text, "Video (1)");  // not pulled to the photos by "*.avif"
    EXPECT_EQ(RowIconOf(Item("c.avi")), "FileIcon/video.png");
}

TEST(ResultCollection, RowsShowTypeSizeTimesAndIconsWithDamagedContent) {
    const FileRow photo = MakeFileRow(Item("IMG.JPG", 2048, 0, true));
    EXPECT_EQ(photo.type, "JPG");
    EXPECT_EQ(photo.size, "2.00 KB");
    EXPECT_EQ(photo.modified, kNoTimeText);
    EXPECT_EQ(photo.icon, "FileIcon/image.png");  // upper-case types are photos too

    EXPECT_EQ(RowIconOf(Item("a.jpg", 1, 0, false)), "FileIcon/image_error.png");
    EXPECT_EQ(RowIconOf(Item("a.mp3", 1, 0, false)), "FileIcon/music_error.png");
    EXPECT_EQ(RowIconOf(Item("a.pdf")), "FileIcon/doc.png");
    EXPECT_EQ(RowIconOf(Item("a.mkv")), "FileIcon/video.png");
    EXPECT_EQ(RowIconOf(Item("a.7z")), "FileIcon/zip.png");
    EXPECT_EQ(RowIconOf(Item("a.exe", 1, 0, false)), "FileIcon/exe_error.png");
    EXPECT_EQ(RowIconOf(Item("blob", 1, 0, false)), "FileIcon/default_error.png");
    const RecoveredItem folder = Item("DCIM", 0, 0, false, true);
    EXPECT_EQ(RowIconOf(folder), "FileIcon/folder.png");  // folders never look damaged
    EXPECT_EQ(MakeFileRow(folder).type, "folder");
    EXPECT_EQ(MakeFileRow(folder).size, "");
    EXPECT_EQ(RowTypeOf(Item("README")), "file");
}

TEST(ResultCollection, SortingByEachColumn) {
    // FILETIMEs of 2024-03-07 and 2024-10-02: as texts ("2024-10-2" < "2024-3-7") they would
    // come out the wrong way round.
    const uint64_t march = 133542432000000000ull;
    const uint64_t october = 133723008000000000ull;
    const std::vector<RecoveredItem> items = {Item("b.txt", 900, october), Item("A.png", 10, 0),
                                              Item("c.jpg", 1000, march), Item("a.doc", 10, 0)};
    std::vector<ItemIndex> rows = {0, 1, 2, 3};

    SortRows(rows, items, SortColumn::kName, true);  // without regard to case
    EXPECT_EQ(Names(rows, items), (std::vector<std::string>{"a.doc", "A.png", "b.txt", "c.jpg"}));
    SortRows(rows, items, SortColumn::kName, false);
    EXPECT_EQ(Names(rows, items), (std::vector<std::string>{"c.jpg", "b.txt", "A.png", "a.doc"}));

    SortRows(rows, items, SortColumn::kSize, true);  // 10 < 900 < 1000 as numbers
    EXPECT_EQ(Names(rows, items), (std::vector<std::string>{"A.png", "a.doc", "b.txt", "c.jpg"}));

    SortRows(rows, items, SortColumn::kModified, true);
    EXPECT_EQ(Names(rows, items), (std::vector<std::string>{"A.png", "a.doc", "c.jpg", "b.txt"}));

    SortRows(rows, items, SortColumn::kType, true);
    EXPECT_EQ(Names(rows, items), (std::vector<std::string>{"a.doc", "c.jpg", "A.png", "b.txt"}));

    // Rows without a path come first.
    SortRows(rows, items, SortColumn::kPath, true, [](const RecoveredItem& i) {
        return i.Name()[0] == 'c' ? std::string() : "DCIM/" + std::string(i.Name());
    });
    EXPECT_EQ(Names(rows, items)[0], "c.jpg");
}

TEST(ResultCollection, PagesCoverEveryRowOnce) {
    EXPECT_EQ(PageOf(0, 0).pages, 1u);
    EXPECT_EQ(PageOf(0, 0).count, 0u);
    const PageRange last = PageOf(250, 2);
    EXPECT_EQ(last.pages, 3u);
    EXPECT_EQ(last.first, 200u);
    EXPECT_EQ(last.count, 50u);
    EXPECT_EQ(PageOf(250, 99).first, 200u);  // a page past the end shows the last one
    EXPECT_EQ(PageOf(10, 0, 0).count, 10u);
}

}  // namespace
}  // namespace norvale
