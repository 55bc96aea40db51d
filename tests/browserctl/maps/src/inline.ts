export function twice(n: number): number {
  return n * 2;
}
