/* Stand-in for Quillon.exe in the example installer's tests, for the answers
 * the real one cannot give under Wine (whose service manager lists no
 * dependents): 408, 409, a service that stays pending. QUILLON_STANDIN names
 * a script, one line per call in the order of the calls, "<exit code>
 * <line to print>"; once the lines run out the last one answers again. Each
 * call appends its arguments, as one line, to "<script>.calls", whose lines
 * also count the calls. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    const char* script = getenv("QUILLON_STANDIN");
    char callsPath[1024], line[1024] = "99 no script line";
    if (!script || snprintf(callsPath, sizeof callsPath, "%s.calls", script) >= (int)sizeof callsPath) {
        puts("stand-in: QUILLON_STANDIN names no script");
        return 99;
    }
    int calls = 0, c;
    FILE* file = fopen(callsPath, "r");
    while (file && (c = fgetc(file)) != EOF) {
        calls += c == '\n';
    }
    if (file) {
        fclose(file);
    }
    file = fopen(callsPath, "ab");
    for (int i = 1; file && i < argc; ++i) {
        fprintf(file, i == 1 ? "%s" : " %s", argv[i]);
    }
    if (file) {
        fputc('\n', file);
        fclose(file);
    }
    file = fopen(script, "r");
    for (int i = 0; file && i <= calls && fgets(line, sizeof line, file); ++i) {
    }
    if (file) {
        fclose(file);
    }
    line[strcspn(line, "\r\n")] = '\0';
    const char* text = strchr(line, ' ');
    printf("%s\n", text ? text + 1 : "");
    return atoi(line);
}
