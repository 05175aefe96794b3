import os
from collections import defaultdict as dd

# tools:suppress pylint:unused-import
def walk(root):
    seen = dd(list)
    for name in os.listdir(root):
        if name.startswith("."):
            continue
        seen[name[0]].append(name)
    return seen

class Tree:
    def __init__(self, root):
        self.root = root

    def items(self):
        return walk(self.root).items()
