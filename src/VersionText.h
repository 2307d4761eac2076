// What the tool says of itself: its version, its release and the images it
// carries (--version, and the run log's heading).
#ifndef VERSIONTEXT_H
#define VERSIONTEXT_H

// --version: the tool, its release and the figures of the images it
// carries, as IMAGES.txt gives them.
void printVersionText(void);

// What kind of images the build carries, in words: "release images", or
// the stand-in warning in short.
const char *imagesKindText(void);

#endif
