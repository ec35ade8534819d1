#ifndef UPLOADERMAIN_H
#define UPLOADERMAIN_H

// The whole run of the program: checks the arguments, uploads, and answers the exit status.
int uploaderMain(int argc, char *argv[]);

#endif // UPLOADERMAIN_H
