import { EventEmitter } from "events";
import type { Options } from "./options";

// tools:off lint
interface Point { x: number; y: number }
// tools:on

export function distance(a: Point, b: Point): number {
  return Math.hypot(a.x - b.x, a.y - b.y);
}

export class Tracker<T> extends EventEmitter {
  private items: T[] = [];
  add(item: T): void { this.items.push(item); this.emit("add", item); }
}
