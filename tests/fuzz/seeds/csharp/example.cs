using System;
using System.Collections.Generic;

namespace Demo
{
    // tools:suppress style:IDE0001
    public class Stack<T>
    {
        private readonly List<T> items = new List<T>();
        public void Push(T item) => items.Add(item);
        public T Pop()
        {
            if (items.Count == 0) throw new InvalidOperationException();
            var last = items[^1];
            items.RemoveAt(items.Count - 1);
            return last;
        }
    }
}
