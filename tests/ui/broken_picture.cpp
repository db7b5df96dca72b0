// A module that only carries resources: see broken_picture.rc.
int brokenPictureFixture = 0;
