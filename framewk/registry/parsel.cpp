// The registry file scanner: cuts the bytes of yyin into the parser's tokens.
#include "regp.h"

YYSTYPE yylval;
int lineno = 1;
FILE* yyin = stdin;
FILE* yyout = stdout;
