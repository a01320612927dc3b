// The default pictures: the checked-in files are what the generator draws, with the geometry
// the progress screen relies on.
#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

#include "support/process.h"
#include "support/sdl_surface.h"
#include "support/temp_dir.h"
#include "ui/pixels.h"

namespace {

SurfacePtr load(const std::string& path) { return SurfacePtr(SDL_LoadBMP(path.c_str())); }

TEST(DefaultPictures, CheckedInFilesMatchTheGeneratorAndTheLayout) {
    TempDir out;
    const ProcessResult made = runProcess({KIB_MAKE_PICTURES_PATH, out.path()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    for (const char* name : {"bg.bmp", "progress.bmp", "title.bmp"}) {
        SCOPED_TRACE(name);
        SurfacePtr fresh = load(out.file(name));
        SurfacePtr kept = load(std::string(KIB_SOURCE_DIR "/assets/updater/") + name);
        ASSERT_TRUE(fresh && kept) << SDL_GetError();
        // Three bytes per pixel: the hue animation must not be quantised by a palette.
        EXPECT_EQ(kept->format->BytesPerPixel, 3);
        ASSERT_EQ(fresh->w, kept->w);
        ASSERT_EQ(fresh->h, kept->h);
        int differences = 0;
        for (int y = 0; y < kept->h; ++y)
            for (int x = 0; x < kept->w; ++x)
                differences += readPixelValue(fresh.get(), x, y) != readPixelValue(kept.get(), x, y);
        EXPECT_EQ(differences, 0) << "regenerate with: kib-make-pictures assets/updater";
    }

    SurfacePtr background = load(out.file("bg.bmp"));
    EXPECT_EQ(background->w, 21);
    EXPECT_EQ(background->h, 50);
    SurfacePtr bar = load(out.file("progress.bmp"));
    EXPECT_GE(bar->w, 2);
    EXPECT_EQ(bar->h, 16);
    // The title is drawn opaque at the top-left corner: it must leave the bar's rows free.
    SurfacePtr title = load(out.file("title.bmp"));
    EXPECT_LE(title->w, 300);
    EXPECT_LE(title->h, 26);
}

TEST(DefaultPictures, GeneratorRefusesAFolderItCannotWrite) {
    const ProcessResult made = runProcess({KIB_MAKE_PICTURES_PATH, "/nonexistent/folder"});
    EXPECT_EQ(made.exitCode, 1);
    EXPECT_NE(made.err.find("cannot write"), std::string::npos) << made.err;
}

}  // namespace
