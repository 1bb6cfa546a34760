/* cellscale_baseline: the reference the tool is measured against.
 *
 *   printf '1.5\n' | cellscale_baseline INPUT.asc OUTPUT.asc > /dev/null
 *
 * It does the text-to-text job the plain way a user would write it with C
 * stdio: fscanf for the six header lines and for every value, fprintf("%g")
 * for every value, a dot per row on standard output. Cells equal to the nodata
 * value are copied, all others are multiplied by the factor read from standard
 * input. It is deliberately written in plain C style (no buffering tricks, no
 * custom parsing): the benchmark table shows how far the tool is from it.
 */

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: cellscale_baseline INPUT OUTPUT\n");
    return 2;
  }
  FILE* in = fopen(argv[1], "r");
  if (in == NULL) {
    perror(argv[1]);
    return 1;
  }

  char names[6][64];
  double header[6];
  for (int i = 0; i < 6; i++) {
    if (fscanf(in, "%63s %lf", names[i], &header[i]) != 2) {
      fprintf(stderr, "%s: bad header\n", argv[1]);
      return 1;
    }
  }
  long ncols = (long)header[0];
  long nrows = (long)header[1];
  double nodata = header[5];

  double factor;
  printf("\nfactor : ");
  fflush(stdout);
  if (scanf("%lf", &factor) != 1) {
    fprintf(stderr, "no factor\n");
    return 1;
  }

  FILE* out = fopen(argv[2], "w");
  if (out == NULL) {
    perror(argv[2]);
    return 1;
  }
  for (int i = 0; i < 6; i++) fprintf(out, "%s\t%.10g\n", names[i], header[i]);

  for (long r = 0; r < nrows; r++) {
    for (long c = 0; c < ncols; c++) {
      double v;
      if (fscanf(in, "%lf", &v) != 1) {
        fprintf(stderr, "%s: missing value at row %ld, column %ld\n", argv[1], r + 1, c + 1);
        return 1;
      }
      if (v != nodata) v *= factor;
      fprintf(out, c + 1 < ncols ? "%g\t" : "%g\n", v);
    }
    printf(".");
  }
  printf("\n");

  fclose(in);
  if (fclose(out) != 0) {
    perror(argv[2]);
    return 1;
  }
  return 0;
}
