// A small example: builds a registry tree through the tree-building actions and prints it.
#include <stdio.h>

#include "regp.h"

static void Print(RegNode* node, int depth) {
    printf("%*s%s\n", depth * 2, "", node->GetName());
    RegKeyValueList* values = node->GetRegKeyValueList();
    for (int i = 0; i < values->GetSize(); ++i) {
        RegKeyValue* v = values->GetAt(i);
        if (v->GetType() == REG_INT)
            printf("%*s  %s = %d (REG_DWORD)\n", depth * 2, "", v->GetKey(),
                   *static_cast<int*>(v->GetValue()));
        else
            printf("%*s  %s = \"%s\" (REG_SZ)\n", depth * 2, "", v->GetKey(),
                   static_cast<char*>(v->GetValue()));
    }
    RegNodeList* subs = node->GetRegNodeList();
    for (int i = 0; i < subs->GetSize(); ++i) Print(subs->GetAt(i), depth + 1);
}

int main() {
    NodeStack = zrNew<RegNodeList>();
    CreateKeyNode(zrStrdup("HKEY_LOCAL_MACHINE"));  // the root "My Computer" is made for it
    CreateKeyNode(zrStrdup("Software"));
    AddValue(zrStrdup("Vendor"), REG_SZ, zrStrdup("Example Corp"));
    AddValue(zrStrdup("Installs"), REG_INT, zrStrdup("3"));
    EndKeyNode("Software");
    EndKeyNode("HKEY_LOCAL_MACHINE");
    EndKeyNode("My Computer");
    printf("Found by path \"my computer/hkey_local_machine/SOFTWARE\": %s\n\n",
           Search("my computer/hkey_local_machine/SOFTWARE") ? "yes" : "no");
    Print(RootNode, 0);
    delete RootNode;
    delete NodeStack;
    return 0;
}
