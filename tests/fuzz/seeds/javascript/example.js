import { readFile } from "fs/promises";
import path from "path";

// tools:suppress eslint:no-console
export async function load(name) {
  const text = await readFile(path.join(".", name), "utf8");
  return text.split("\n").map((line) => line.trim());
}

class Cache {
  constructor() { this.items = new Map(); }
  get(key) { return this.items.get(key) ?? load(key); }
}
