#pragma once
// The three pictures of the two windows live in a compiled-in resource
// bundle. The bundle sits in a static library, whose registration code the
// linker would drop unless something refers to it: every window calls this
// before building its form. Registering twice is harmless.
void registerImages();
