import React, { useState } from "react";

type Props = { label: string };

export function Counter({ label }: Props) {
  const [count, setCount] = useState(0);
  const inc = () => setCount(count + 1);
  return <button onClick={inc}>{label}: {count}</button>;
}

export const List = ({ items }: { items: string[] }) => (
  <ul>{items.map((i) => <li key={i}>{i}</li>)}</ul>
);
