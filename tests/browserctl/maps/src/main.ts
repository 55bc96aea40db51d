"use strict";
import { twice } from "./inline";
import "./outside";
import "dep";
function tick(n: number): number {
  const next: number = n + 1;
  return twice(next);
}
let count: number = 0;
setInterval(() => { count = tick(count); }, 100);
