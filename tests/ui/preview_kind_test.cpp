// How a found file is previewed, from its name: played, converted to text, drawn, listed.

#include "app/preview_kind.h"

#include <gtest/gtest.h>

namespace norvale {
namespace {

struct KindCase {
    const char* name;
    bool media;
    bool audio;
    bool document;
    bool pdf;
    PreviewConverter converter;
};

class PreviewKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(PreviewKindTest, NameDecidesKindAndConverter) {
    const KindCase& c = GetParam();
    const PreviewKind kind = DecidePreviewKind(c.name);
    EXPECT_EQ(kind.media, c.media);
    EXPECT_EQ(kind.audio, c.audio);
    EXPECT_EQ(kind.document, c.document);
    EXPECT_EQ(kind.pdf, c.pdf);
    EXPECT_EQ(kind.converter, c.converter);
}

using C = PreviewConverter;
INSTANTIATE_TEST_SUITE_P(
    Names, PreviewKindTest,
    ::testing::Values(
        KindCase{"song.MP3", true, true, false, false, C::kNone},
        KindCase{"clip.avi", true, false, false, false, C::kNone},
        // "rm" is in the audio and the video list: played, as audio.
        KindCase{"old.rm", true, true, false, false, C::kNone},
        KindCase{"photo.jpg", false, false, false, false, C::kNone},
        KindCase{"report.PDF", false, false, true, true, C::kPdf},
        KindCase{"letter.docx", false, false, true, false, C::kWord},
        KindCase{"notes.rtf", false, false, true, false, C::kWord},
        KindCase{"talk.pps", false, false, true, false, C::kPpt},
        KindCase{"talk.odp", false, false, true, false, C::kPpt},
        KindCase{"sheet.xlsx", false, false, true, false, C::kExcel},
        KindCase{"people.vcf", false, false, true, false, C::kExcel},
        KindCase{"backup.tar.gz", false, false, true, false, C::kZip},
        KindCase{"disc.iso", false, false, true, false, C::kZip},
        // Part of a listed extension counts as listed: "do" is in "*.doc", "pp" in "*.ppt".
        KindCase{"odd.do", false, false, true, false, C::kWord},
        KindCase{"odd.pp", false, false, true, false, C::kPpt}),
    [](const ::testing::TestParamInfo<KindCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(PreviewKind, NameWithoutExtensionOrWithListSeparatorMatchesNoList) {
    for (const char* name : {"README", "trailing.", "odd.mp3|*", "odd.*", "x.p|*.doc|"}) {
        SCOPED_TRACE(name);
        const PreviewKind kind = DecidePreviewKind(name);
        EXPECT_FALSE(kind.media);
        EXPECT_FALSE(kind.document);
        EXPECT_EQ(kind.converter, PreviewConverter::kNone);
    }
}

}  // namespace
}  // namespace norvale
