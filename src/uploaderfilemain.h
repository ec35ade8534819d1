#ifndef UPLOADERFILEMAIN_H
#define UPLOADERFILEMAIN_H

// The whole run of uploader-file: checks the options, sends the chunks, and answers the exit status.
int uploaderFileMain(int argc, char *argv[]);

#endif // UPLOADERFILEMAIN_H
